#pragma once

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <unistd.h>

namespace oculo::test {

// Redirects this process's standard output into a temporary file while it
// lives, so tests can check the texts the program prints.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        m_file = std::tmpfile();
        if (m_file) {
            m_savedFd = ::dup(::fileno(stdout));
            ::dup2(::fileno(m_file), ::fileno(stdout));
        }
    }
    ~StdoutCapture() {
        restore();
        if (m_file) {
            std::fclose(m_file);
        }
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything printed so far.
    QString text() {
        std::fflush(stdout);
        QByteArray bytes;
        if (!m_file) {
            return {};
        }
        std::rewind(m_file);
        char buffer[4096];
        size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_file)) > 0) {
            bytes.append(buffer, static_cast<qsizetype>(n));
        }
        return QString::fromUtf8(bytes);
    }

private:
    void restore() {
        if (m_savedFd >= 0) {
            std::fflush(stdout);
            ::dup2(m_savedFd, ::fileno(stdout));
            ::close(m_savedFd);
            m_savedFd = -1;
        }
    }

    std::FILE* m_file = nullptr;
    int m_savedFd = -1;
};

} // namespace oculo::test
