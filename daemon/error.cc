// Messages of tollwatch and twparser.  Each message is built in one
// buffer and sent to the system log when the process runs detached, else
// to standard error.  The stopping functions close the history files first
// so that a fatal error never leaves them half written.
#include "error.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

int ALRM_daemon = 0;
int ALRM_echo = 0;
void (*ALRM_close_history)() = nullptr;

namespace {

char emesgstr[255];  // the message being reported

// Formats into emesgstr, cutting what does not fit.  Keeps errno for
// my_perror.
void format(const char *fmt, va_list ap) {
  int saved = errno;
  vsnprintf(emesgstr, sizeof emesgstr, fmt, ap);
  errno = saved;
}

void close_history() {
  void (*close)() = ALRM_close_history;
  ALRM_close_history = nullptr;
  if (close != nullptr) close();
}

}  // namespace

void err_init(const char *ident) {
  if (ALRM_daemon) {
    openlog(ident, LOG_PID | LOG_CONS, LOG_DAEMON);
  } else {
    fprintf(stderr, "%s\n", ident);
    fflush(stderr);
  }
}

void SYSLOG(int priority, const char *msg) {
  trace_drain();
  if (ALRM_daemon) {
    syslog(priority, "%s", msg);
    if (ALRM_echo) {
      fprintf(stderr, "%s\n", msg);
      fflush(stderr);
    }
  } else {
    fprintf(stderr, "%s\n", msg);
    fflush(stderr);
  }
}

namespace {

char trace_text[8192];  // the trace not yet in the stream
size_t trace_len;

}  // namespace

void trace_buffer() {
  static char buf[1 << 17];
  trace_flush();
  setvbuf(stderr, buf, _IOFBF, sizeof buf);
}

void trace_put(const char *text, size_t len) {
  if (trace_len + len > sizeof trace_text) trace_drain();
  if (len > sizeof trace_text) {
    fwrite(text, 1, len, stderr);
    return;
  }
  memcpy(trace_text + trace_len, text, len);
  trace_len += len;
}

void trace_drain() {
  if (trace_len == 0) return;
  fwrite(trace_text, 1, trace_len, stderr);
  trace_len = 0;
}

void trace_flush() {
  trace_drain();
  fflush(stderr);
}

void my_perror() {
  int err = errno;
  if (err <= 0 || strerrordesc_np(err) == nullptr) return;
  size_t len = strlen(emesgstr);
  snprintf(emesgstr + len, sizeof emesgstr - len, ". %s", strerror(err));
}

namespace {

// Builds the message, with the system error text when asked, and sends it.
void report(bool with_errno, const char *fmt, va_list ap) {
  format(fmt, ap);
  if (with_errno) my_perror();
  SYSLOG(LOG_ERR, emesgstr);
}

}  // namespace

void err_quit(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(false, fmt, ap);
  va_end(ap);
  trace_flush();
  close_history();
  exit(1);
}

void err_sys(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(true, fmt, ap);
  va_end(ap);
  trace_flush();
  close_history();
  exit(1);
}

int err_ret(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(true, fmt, ap);
  va_end(ap);
  return -1;
}

void err_dump(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  report(true, fmt, ap);
  va_end(ap);
  trace_flush();
  close_history();
  abort();
}
