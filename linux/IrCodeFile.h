// Infrared code files: the bytes of a code as hex text.
//
//   # Tavro infrared code, 12 bytes
//   00 03 10 11 12 13 14 15 16 17 18 19
//
// '#' starts a comment that runs to the end of the line.  Everything else is
// hex digit pairs (upper or lower case), one byte each, separated by blanks or
// written together ("0003" is two bytes).  A code holds 2 to 510 bytes, an
// even number: the receiver counts codes in 16-bit words.  The first two bytes
// of a learned code are the channel it was learned on.
#ifndef TAVRO_IR_CODE_FILE_H
#define TAVRO_IR_CODE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace tavro {

constexpr size_t kMaxIrCodeBytes = 510;

// Parses the text of a code file.  Returns false with a message naming the
// line in *error when it is not one.
bool ParseIrCode(const std::string& text, std::vector<uint8_t>* code, std::string* error);

// The file text for a code: the comment line, then 16 bytes per line.
std::string FormatIrCode(const std::vector<uint8_t>& code);

// Where a code saved under a name is kept: $XDG_CONFIG_HOME/tavro/ir/NAME.ir
// (~/.config/tavro/ir/ without it).  A name with a '/' is a path of its own.
std::string SavedIrCodePath(const std::string& name);

}  // namespace tavro

#endif
