#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QtGlobal>

namespace oculo::test {

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QByteArray readBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QJsonObject readJsonObject(const QString& path) {
    return QJsonDocument::fromJson(readBytes(path)).object();
}

// Collects warnings so a test can say how many were printed.
class WarningRecorder {
public:
    WarningRecorder() {
        s_current = this;
        m_previous = qInstallMessageHandler(&WarningRecorder::handle);
    }
    ~WarningRecorder() {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    WarningRecorder(const WarningRecorder&) = delete;
    WarningRecorder& operator=(const WarningRecorder&) = delete;

    const QList<QString>& warnings() const { return m_warnings; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message) {
        if (type == QtWarningMsg && s_current != nullptr) {
            s_current->m_warnings.append(message);
            return;
        }
        if (s_current != nullptr && s_current->m_previous != nullptr) {
            s_current->m_previous(type, context, message);
        }
    }

    static inline WarningRecorder* s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QList<QString> m_warnings;
};

} // namespace oculo::test
