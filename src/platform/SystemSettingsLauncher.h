#pragma once

namespace oculo {

// Opens the desktop's settings where screen-capture access is granted.
class SystemSettingsLauncher {
public:
    virtual ~SystemSettingsLauncher() = default;
    // Returns false when nothing could be opened; callers ignore the result.
    virtual bool openScreenCaptureSettings() = 0;
};

} // namespace oculo
