// tavrod's messages: every event of the daemon is one line on standard
// error and the same line in the system log (identity "Tavro"), so that
// both a terminal and `journalctl -t Tavro` show it.
#ifndef TAVROD_DAEMON_LOG_H
#define TAVROD_DAEMON_LOG_H

namespace tavrod {

// Formats one message (line breaks are folded into one line) and writes
// "tavrod: MESSAGE" to standard error and to the system log.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tavrod

#endif
