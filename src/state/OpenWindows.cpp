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
    if (const auto visible = store.object(isWindowVisibleKey)) {
        record.firstIsOpen = visible->typeId() != QMetaType::Bool || visible->toBool();
    }
    const std::optional<QVariant> stored = store.object(otherWindowsKey);
    if (!record.firstIsOpen || !stored) {
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

void OpenWindows::write(SettingsStore& store, const QList<const MagnifierState*>& windows) {
    if (windows.isEmpty()) {
        // The first window's settings stay, for the next window anybody opens.
        store.setBool(isWindowVisibleKey, false);
        store.remove(otherWindowsKey);
        store.sync();
        return;
    }
    // Open now, whatever the file said when the window was loaded from it.
    windows.first()->writeTo(store);
    store.setBool(isWindowVisibleKey, true);
    QVariantList others;
    for (qsizetype i = 1; i < windows.size(); ++i) {
        QVariantMap values = windows.at(i)->savedValues();
        values.insert(isWindowVisibleKey, true);
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
