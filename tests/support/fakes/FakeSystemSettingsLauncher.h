#pragma once

#include "platform/SystemSettingsLauncher.h"

namespace oculo::test {

// Counts how often the settings were asked for instead of opening anything.
class FakeSystemSettingsLauncher final : public SystemSettingsLauncher {
public:
    bool openScreenCaptureSettings() override {
        ++m_openCount;
        return m_result;
    }

    int openCount() const { return m_openCount; }
    // What the next opens report; callers are expected to ignore it.
    void setResult(bool opened) { m_result = opened; }

private:
    int m_openCount = 0;
    bool m_result = true;
};

} // namespace oculo::test
