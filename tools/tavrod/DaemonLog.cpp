// One line on standard error and in the system log for each event.
#include "DaemonLog.h"

#include "TavroLinux.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace tavrod {

void Say(const char* format, ...) {
    char text[1024] = "tavrod: ";
    const size_t prefix = std::strlen(text);
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + prefix, sizeof text - prefix, format, args);
    va_end(args);
    for (char* c = text; *c != '\0'; ++c)
        if (*c == '\n' || *c == '\r') *c = ' ';
    size_t length = std::strlen(text);
    while (length > prefix && text[length - 1] == ' ') text[--length] = '\0';
    std::fprintf(stderr, "%s\n", text);
    CTavroLinux::AddToMessageLog(text);
}

}  // namespace tavrod
