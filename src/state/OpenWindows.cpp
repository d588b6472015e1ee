#include "state/OpenWindows.h"

#include "state/MagnifierState.h"
#include "state/SettingsStore.h"

#include <QDebug>

namespace oculo {

namespace {

const QString isWindowVisibleKey = QStringLiteral("oculo.isWindowVisible");

} // namespace

const QString OpenWindows::otherWindowsKey = QStringLiteral("oculo.otherWindows");

OpenWindows OpenWindows::read(const SettingsStore& store) {
    OpenWindows record;
    // Files of earlier versions always say true, or nothing.
    if (const auto shown = store.object(isWindowVisibleKey)) {
        record.firstIsShown = isShown({{isWindowVisibleKey, *shown}});
    }
    const std::optional<QVariant> stored = store.object(otherWindowsKey);
    if (!stored) {
        return record;
    }
    if (stored->typeId() != QMetaType::QVariantList) {
        qWarning().noquote() << QStringLiteral("The list of other open windows in the settings "
                                               "file is damaged; only the first window opens");
        return record;
    }
    const QVariantList entries = stored->toList();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QVariant& entry = entries.at(i);
        // Without a frame to put it in, an entry would come back as a stranger
        // on top of the first window.
        if (entry.typeId() == QMetaType::QVariantMap &&
            MagnifierState::savedWindowFrame(entry.toMap())) {
            record.others.append(entry.toMap());
        } else {
            qWarning().noquote() << QStringLiteral("The saved window %1 in the settings file is "
                                                   "damaged; it does not open")
                                        .arg(i + 2);
        }
    }
    return record;
}

bool OpenWindows::isShown(const QVariantMap& savedValues) {
    const QVariant shown = savedValues.value(isWindowVisibleKey);
    return shown.typeId() != QMetaType::Bool || shown.toBool();
}

void OpenWindows::write(SettingsStore& store, const QList<Window>& windows) {
    if (windows.isEmpty()) {
        // The first window's settings stay, for the next window anybody opens.
        store.setBool(isWindowVisibleKey, false);
        store.remove(otherWindowsKey);
        store.sync();
        return;
    }
    // Shown or not now, whatever the file said when the window was loaded from it.
    windows.first().state->writeTo(store);
    store.setBool(isWindowVisibleKey, windows.first().isShown);
    QVariantList others;
    for (qsizetype i = 1; i < windows.size(); ++i) {
        QVariantMap values = windows.at(i).state->savedValues();
        values.insert(isWindowVisibleKey, windows.at(i).isShown);
        others.append(values);
    }
    if (others.isEmpty()) {
        store.remove(otherWindowsKey);
    } else {
        store.setValue(otherWindowsKey, others);
    }
    store.sync();
}

} // namespace oculo
