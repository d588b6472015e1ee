#pragma once

#include "app/ApplicationCore.h"
#include "app/GlobalShortcutActions.h"
#include "shell/AppDelegate.h"
#include "support/fakes/FakeServices.h"

#include <memory>

namespace oculo::test {

// A real core and window factory over fake services, with global shortcuts of
// type `Shortcuts` driving its actions.
template <class Shortcuts>
struct ShortcutRig : FakeServices {
    ShortcutRig()
        : delegate(std::make_unique<AppDelegate>(tracker, displayManager, permissionManager,
                                                 backend, store))
        , core(std::make_unique<ApplicationCore>(tracker, displayManager, permissionManager,
                                                 *delegate))
        , actions(std::make_unique<GlobalShortcutActions>(*core, shortcuts, store)) {
        delegate->follow(*core);
    }

    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<ApplicationCore> core;
    Shortcuts shortcuts;
    std::unique_ptr<GlobalShortcutActions> actions; // uses the core, so it goes first
};

} // namespace oculo::test
