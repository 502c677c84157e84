#include "IrCodeFile.h"

#include <cstdlib>

#include <cctype>
#include <cstdio>

namespace tavro {

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool ParseIrCode(const std::string& text, std::vector<uint8_t>* code, std::string* error) {
    code->clear();
    int line = 1;
    int high = -1;  // the first digit of a byte not yet complete
    bool comment = false;
    auto loneDigit = [&] {
        *error = "line " + std::to_string(line) + ": a lone hex digit (bytes are digit pairs)";
        return false;
    };
    for (char c : text) {
        bool separator = c == '#' || std::isspace(static_cast<unsigned char>(c)) != 0;
        if (separator && high >= 0) return loneDigit();
        if (c == '\n') {
            ++line;
            comment = false;
            continue;
        }
        if (comment || separator) {
            if (c == '#') comment = true;
            continue;
        }
        int value = HexValue(c);
        if (value < 0) {
            *error = "line " + std::to_string(line) + ": '" + std::string(1, c) +
                     "' is not a hex digit";
            return false;
        }
        if (high < 0) {
            high = value;
            continue;
        }
        if (code->size() == kMaxIrCodeBytes) {
            *error = "the code is longer than " + std::to_string(kMaxIrCodeBytes) + " bytes";
            return false;
        }
        code->push_back(static_cast<uint8_t>(high * 16 + value));
        high = -1;
    }
    if (high >= 0) return loneDigit();
    if (code->empty()) {
        *error = "no code bytes in the file";
        return false;
    }
    if (code->size() % 2 != 0) {
        *error = "the code has " + std::to_string(code->size()) +
                 " bytes; a code is a whole number of 16-bit words";
        return false;
    }
    return true;
}

std::string FormatIrCode(const std::vector<uint8_t>& code) {
    std::string text = "# Tavro infrared code, " + std::to_string(code.size()) + " bytes\n";
    char byte[4];
    for (size_t i = 0; i < code.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02x", code[i]);
        text += byte;
        text += (i % 16 == 15 || i + 1 == code.size()) ? '\n' : ' ';
    }
    return text;
}

std::string SavedIrCodePath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = config != nullptr && config[0] == '/' ? std::string(config)
                                                                   : std::string(home != nullptr ? home : "") + "/.config";
    return base + "/tavro/ir/" + name + ".ir";
}

}  // namespace tavro
