#pragma once

#include <QList>
#include <QRectF>
#include <QString>
#include <qcoro/qcorotask.h>

#include <optional>

namespace oculo {

// One display that can be captured. `frame` is in Qt's global logical space;
// the backend multiplies by `devicePixelRatio` to reach device pixels.
struct DisplayInfo {
    quint32 id = 0; // stable while the display stays connected
    QString name;   // output name, e.g. "HDMI-1"
    QRectF frame;
    qreal devicePixelRatio = 1.0;

    friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

struct DisplayQueryError {
    enum class Kind {
        Invalid,
        CaptureRefused, // the windowing system refuses screen capture (e.g. no X11 access)
        Other,
    };
    Kind kind = Kind::Invalid;
    QString description;
    // A refusal that the user may take back when asked again (a share dialog
    // refused or cancelled); `description` then says so in one plain sentence.
    bool canAskAgain = false;
};

struct DisplayQueryResult {
    QList<DisplayInfo> displays; // primary first
    std::optional<DisplayQueryError> error;
};

// Lists the displays that can be captured.
class DisplaySource {
public:
    virtual ~DisplaySource() = default;
    virtual QCoro::Task<DisplayQueryResult> queryDisplays() = 0;
};

} // namespace oculo
