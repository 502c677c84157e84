// What a binding's action does when it begins, repeats and ends: keys
// through the kit's key path, pointer buttons and wheel through its output,
// the pointer's freeze in the record, infrared codes through the receiver's
// command requests, and programs of the user's.
#ifndef TAVRO_BINDING_ACTIONS_H
#define TAVRO_BINDING_ACTIONS_H

#include "Bindings.h"

class CTavroLinux;

namespace tavro {

class BindingActions {
public:
    explicit BindingActions(CTavroLinux& kit) : kit_(kit) {}
    // Profile switches are the caller's: they change what the caller holds.
    void Begin(const Action& action);
    void Repeat(const Action& action, int count);
    void End(const Action& action);

private:
    void Infrared(const Action& action);
    void Run(const Action& action);
    CTavroLinux& kit_;
};

}  // namespace tavro

#endif  // TAVRO_BINDING_ACTIONS_H
