// The user's key bindings as a client reads them: what each key does in a
// profile of the bindings file, for one handset or all.
#include "tavrodev.h"

#include "BindingsFile.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Copies `text` into out (cut to size - 1, always terminated) and returns
// `result`.
int Put(const std::string& text, char* out, int size, int result) {
    if (out != nullptr && size > 0) {
        const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
    }
    return result;
}

}  // namespace

int TV_GetKeyBindings(const char* profile, int handset, char* out, int size) {
    tavro::Bindings b;
    std::vector<std::string> problems;
    if (!tavro::ReadBindingsFile(tavro::DefaultBindingsPath(), &b, &problems)) return Put(problems[0], out, size, -1);
    const std::string name = profile != nullptr && profile[0] != '\0' ? profile : b.StartProfile();
    const tavro::Profile* p = b.Find(name);
    if (p == nullptr && name != tavro::kBuiltinProfile)
        return Put("there is no profile \"" + name + "\" in " + tavro::DefaultBindingsPath(), out, size, -2);
    std::string text;
    for (int key = 0; key < tavro::kKeypadKeys; ++key) {
        bool bound = false;
        if (p != nullptr)
            for (const tavro::Binding* binding : p->OfKey(key, handset)) {
                text += std::string(tavro::KeypadKeyName(key)) + "\t" + binding->trigger + "\t" +
                        binding->action.source + "\t" + std::to_string(binding->line) + "\n";
                bound = true;
            }
        if (!bound) text += std::string(tavro::KeypadKeyName(key)) + "\t" + tavro::KeypadKeyName(key) + "\tbuiltin\t0\n";
    }
    Put(text, out, size, 0);
    return static_cast<int>(text.size());
}
