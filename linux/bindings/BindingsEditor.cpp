#include "BindingsEditor.h"

#include "BindingsFile.h"

#include <sstream>
#include <vector>

namespace tavro {

namespace {

// Where a line's comment starts ('#' at the start of a word, outside
// quotes), or the line's length.
size_t CommentStart(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && quoted) ++i;
        else if (line[i] == '"') quoted = !quoted;
        else if (line[i] == '#' && !quoted && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) return i;
    }
    return line.size();
}

// The message of a parser problem without its "path:line:column: ".
std::string WhatIsWrong(const std::string& problem) {
    const size_t at = problem.find(": ");
    return at == std::string::npos ? problem : problem.substr(at + 2);
}

}  // namespace

bool EditBinding(const std::string& text, const std::string& path, const std::string& profile,
                 const std::string& trigger, const std::string& action, std::string* edited,
                 std::string* error) {
    std::vector<std::string> problems;
    Bindings before;
    if (!ParseBindings(text, path, &before, &problems)) {
        *error = "fix " + path + " first: " + problems[0];
        return false;
    }
    const bool remove = action == "builtin";
    // The new line on its own, to know its key, gesture and handset, beside
    // the profiles an action may name.
    const std::string line = trigger + " = " + (remove ? "nothing" : action);
    const std::string probe = "(new-line)";
    std::string alongside = "[" + probe + "]\n" + line + "\n";
    for (const Profile& other : before.profiles) alongside += "[" + other.name + "]\n";
    if (before.Find(profile) == nullptr) alongside += "[" + profile + "]\n";
    Bindings alone;
    if (!ParseBindings(alongside, "", &alone, &problems)) {
        *error = "\"" + line + "\": " + WhatIsWrong(problems[0]);
        return false;
    }
    const Binding& wanted = alone.profiles[0].bindings[0];

    std::vector<std::string> lines;
    {
        std::istringstream in(text);
        std::string l;
        while (std::getline(in, l)) lines.push_back(l);
    }
    const Profile* p = before.Find(profile);
    if (p == nullptr) {
        if (remove) {
            *error = "profile " + profile + " binds nothing in " + path;
            return false;
        }
        if (!lines.empty() && !lines.back().empty()) lines.push_back("");
        lines.push_back("[" + profile + "]");
        lines.push_back(line);
    } else {
        int replaceLine = 0, lastLine = p->line;
        for (const Binding& b : p->bindings) {
            lastLine = std::max(lastLine, b.line);
            if (b.key == wanted.key && b.chordWith == wanted.chordWith && b.handset == wanted.handset &&
                b.gesture == wanted.gesture)
                replaceLine = b.line;
        }
        if (replaceLine > 0) {
            std::string& old = lines[static_cast<size_t>(replaceLine - 1)];
            const size_t indent = old.find_first_not_of(" \t");
            // The comment keeps its place: the blanks before it stay too.
            const size_t comment = CommentStart(old);
            const size_t contentEnd = old.find_last_not_of(" \t", comment == 0 ? 0 : comment - 1);
            const std::string tail = comment < old.size() && contentEnd != std::string::npos
                                         ? old.substr(contentEnd + 1) : "";
            if (remove) lines.erase(lines.begin() + (replaceLine - 1));
            else old = old.substr(0, indent == std::string::npos ? 0 : indent) + line + tail;
        } else if (remove) {
            *error = trigger + " is not bound in profile " + profile + "; it already acts built in";
            return false;
        } else {
            lines.insert(lines.begin() + lastLine, line);
        }
    }
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    Bindings after;
    problems.clear();
    if (!ParseBindings(out, path, &after, &problems)) {
        *error = WhatIsWrong(problems[0]);
        return false;
    }
    *edited = out;
    return true;
}

}  // namespace tavro
