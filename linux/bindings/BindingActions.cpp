#include "BindingActions.h"

#include "IrCodeFile.h"
#include "OutputSelection.h"
#include "RecordAccess.h"
#include "TavroLinux.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tavro {

namespace {

constexpr int kPress = 1, kRelease = 2;  // the modes of the kit's key path

PointerButton ButtonOf(const Action& a) {
    return a.button == 1 ? PointerButton::Middle : a.button == 2 ? PointerButton::Right : PointerButton::Left;
}

void SendButton(CTavroLinux& kit, PointerButton button, bool down) {
    if (std::shared_ptr<Output> output = CurrentOutput(kit)) {
        output->Button(button, down);
        output->Flush();
    }
}

void Scroll(CTavroLinux& kit, const Action& a, int count) {
    if (std::shared_ptr<Output> output = CurrentOutput(kit)) {
        output->Scroll(a.scrollX * count, a.scrollY * count);
        output->Flush();
    }
}

}  // namespace

void BindingActions::Begin(const Action& a) {
    SharedDeviceState* r = kit_.SharedData;
    switch (a.kind) {
        case ActionKind::Keys: {
            std::lock_guard<std::recursive_mutex> sequence(kit_.OutputSequence);
            for (unsigned long sym : a.keysyms) kit_.SendKey(static_cast<int>(sym), kPress);
            break;
        }
        case ActionKind::Button: {
            std::lock_guard<std::recursive_mutex> sequence(kit_.OutputSequence);
            SendButton(kit_, ButtonOf(a), true);
            if (!a.drag) SendButton(kit_, ButtonOf(a), false);
            break;
        }
        case ActionKind::Scroll: Scroll(kit_, a, 1); break;
        case ActionKind::Freeze:
            if (r != nullptr) StoreField(r->ActivateCursor, 0);
            break;
        case ActionKind::Unfreeze:
            if (r != nullptr) StoreField(r->ActivateCursor, 1);
            break;
        case ActionKind::ToggleFreeze:
            if (r != nullptr) StoreField(r->ActivateCursor, LoadField(r->ActivateCursor) != 0 ? 0 : 1);
            break;
        case ActionKind::Infrared: Infrared(a); break;
        case ActionKind::Run: Run(a); break;
        case ActionKind::Profile:
        case ActionKind::Nothing: break;
    }
}

void BindingActions::Repeat(const Action& a, int count) {
    if (a.kind == ActionKind::Scroll && count > 0) Scroll(kit_, a, count);
}

void BindingActions::End(const Action& a) {
    if (a.kind == ActionKind::Keys) {
        std::lock_guard<std::recursive_mutex> sequence(kit_.OutputSequence);
        for (auto it = a.keysyms.rbegin(); it != a.keysyms.rend(); ++it)
            kit_.SendKey(static_cast<int>(*it), kRelease);
    } else if (a.kind == ActionKind::Button && a.drag) {
        std::lock_guard<std::recursive_mutex> sequence(kit_.OutputSequence);
        SendButton(kit_, ButtonOf(a), false);
    }
}

// The code file is read at each use, so a code learned again is the one sent.
void BindingActions::Infrared(const Action& a) {
    SharedDeviceState* r = kit_.SharedData;
    if (r == nullptr) return;
    const std::string path = SavedIrCodePath(a.text);
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        CTavroLinux::LogMessage("bindings: cannot send infrared code %s: %s cannot be read (%s); save it "
                                "with tavro ir learn --name %s", a.text.c_str(), path.c_str(),
                                std::strerror(errno), a.text.c_str());
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::vector<uint8_t> code;
    std::string error;
    if (!ParseIrCode(text.str(), &code, &error)) {
        CTavroLinux::LogMessage("bindings: cannot send infrared code %s: %s: %s", a.text.c_str(), path.c_str(),
                                error.c_str());
        return;
    }
    uint8_t bytes[sizeof r->IRCode] = {};
    std::memcpy(bytes, code.data(), std::min(code.size(), sizeof bytes));
    StoreBytes(r->IRCode, bytes, sizeof bytes);
    StoreField(r->IRCodeLength, static_cast<int32_t>(code.size()));
    RaiseRequest(r->SendIRCodeRequest);
}

// Started directly (no shell), with nothing on its standard input and its
// output where the daemon's goes (the journal under systemd); a thread of its
// own reaps it, so the keys never wait for it.
void BindingActions::Run(const Action& a) {
    std::vector<char*> argv;
    for (const std::string& s : a.argv) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A new process group: a Ctrl-C meant for the daemon's terminal is not its.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        CTavroLinux::LogMessage("bindings: cannot run %s: %s; give the program's full path or install it",
                                a.argv[0].c_str(), std::strerror(error));
        return;
    }
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

}  // namespace tavro
