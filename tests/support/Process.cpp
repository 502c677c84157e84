#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace tavro::test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() {
    if (running()) {
        signal(SIGTERM);
        if (wait(std::chrono::milliseconds(1000)) < 0) {
            signal(SIGKILL);
            wait(std::chrono::milliseconds(5000));
        }
    }
    if (out_ >= 0) close(out_);
}

void ChildProcess::collect(std::chrono::milliseconds timeout) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return;
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n > 0) buffer_.append(buffer, static_cast<size_t>(n));
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (buffer_.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        collect(std::min(left, std::chrono::milliseconds(50)));
    }
    return true;
}

bool ChildProcess::readLine(std::string* line, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t end = buffer_.find('\n', consumed_);
        if (end != std::string::npos) {
            *line = buffer_.substr(consumed_, end - consumed_);
            consumed_ = end + 1;
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        collect(std::min(left, std::chrono::milliseconds(50)));
    }
}

std::string ChildProcess::output() {
    collect(std::chrono::milliseconds(0));
    return buffer_;
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && status_ < 0) kill(pid_, sig);
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_ >= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            collect(std::chrono::milliseconds(0));
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        collect(std::chrono::milliseconds(5));
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    return wait(std::chrono::milliseconds(0)) < 0;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* output, std::chrono::milliseconds timeout) {
    ChildProcess child(program, args);
    int status = child.wait(timeout);
    // Drain what is left after the exit.
    std::string line;
    while (child.readLine(&line, std::chrono::milliseconds(50))) {
    }
    if (output != nullptr) *output = child.output();
    return status;
}

}  // namespace tavro::test
