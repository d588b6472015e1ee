#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QTest>
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

// Counts the warnings printed while it lives; other messages pass on.
class WarningRecorder {
public:
    WarningRecorder() {
        s_count = 0;
        s_previous = qInstallMessageHandler(&handle);
    }
    ~WarningRecorder() { qInstallMessageHandler(s_previous); }
    int count() const { return s_count; }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        type == QtWarningMsg ? void(++s_count) : s_previous(type, context, text);
    }
    static inline int s_count = 0;
    static inline QtMessageHandler s_previous = nullptr;
};

} // namespace oculo::test
