// Messages of both programs: one buffer, one switch between the system
// log and standard error, and four ways to report.
#ifndef TW_ERROR_H
#define TW_ERROR_H

#include <stddef.h>

#include <string>


extern int ALRM_daemon;     // non-zero: messages go to the system log
extern int ALRM_echo;       // with ALRM_daemon: to standard error as well
// Closes the history before a fatal exit; set by the store that has it
// open, null when none is.
extern void (*ALRM_close_history)();

void err_init(const char *ident);
void SYSLOG(int priority, const char *msg);
[[noreturn]] void err_quit(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_sys(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
int err_ret(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void err_dump(const char *fmt, ...)
    __attribute__((format(printf, 1, 2)));
void my_perror();
// The trace shares standard error with the messages.  While tracing, the
// stream is fully buffered (trace_buffer); trace_flush writes it out, at
// the end of each polling pass, before a command starts and before the
// process ends, so that nothing is lost and the order stays.
void trace_buffer();
void trace_flush();
// The text of a check's trace gathers in a buffer of its own, cheaper to
// append to than the stream; trace_drain puts it into the stream, as every
// message does first, and as the check does when it ends or before an
// action goes out.
void trace_put(const char *text, size_t len);
void trace_drain();
// A name as messages and the trace show it: control bytes as \ooo and a
// backslash doubled, so no name can start a line of its own.
std::string printable(const char *text);

#endif  // TW_ERROR_H
