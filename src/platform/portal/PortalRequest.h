#pragma once

#include <QDBusConnection>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

class QDBusMessage;

namespace oculo::portal {

const QString& portalService();
const QString& portalPath();

// What a portal method answered through its Request object.
struct PortalAnswer {
    enum class Kind {
        answered,
        missing, // no portal, or one without this interface or method
        failed,  // the call failed or the answer did not come in time
    };
    Kind kind = Kind::failed;
    uint code = 2; // the Response code: 0 done, 1 cancelled by the user, 2 anything else
    QVariantMap results;
    QString error; // why, when not answered

    bool succeeded() const { return kind == Kind::answered && code == 0; }
};

// A portal method that answers later through the Response signal of a Request
// object. The request's path is predicted from the caller's bus name and a
// fresh handle_token, and watched before the call goes out, so a fast portal
// cannot answer unheard; a portal that names another path is followed there.
class PortalRequest {
public:
    // Calls `method` of `interface` with `arguments` followed by `options`
    // (which gain the handle_token); waits `answerTimeout` at most for the
    // Response once the call itself has returned.
    static QCoro::Task<PortalAnswer> call(QDBusConnection bus, QString interface, QString method,
                                          QList<QVariant> arguments, QVariantMap options,
                                          std::chrono::milliseconds answerTimeout);

    // A property of one of the portal's interfaces; nothing when the portal or
    // the interface is missing.
    static QCoro::Task<std::optional<QVariant>> property(QDBusConnection bus, QString interface,
                                                         QString name);

    // A token no earlier request or session of this process used.
    static QString uniqueToken();
    // The path a request with `token` gets from the portal on `bus`.
    static QString requestPath(const QDBusConnection& bus, const QString& token);
    // Whether an error reply means the portal does not offer what was called.
    static bool meansMissing(const QDBusMessage& reply);
    // Ends a session without waiting for the answer.
    static void closeSession(const QDBusConnection& bus, const QString& sessionHandle);

    // Calls of a method are answered for at most this long.
    static constexpr std::chrono::milliseconds callTimeout{15000};
};

} // namespace oculo::portal
