/*
 * Error reports of the connection-table library.  A report names the
 * operation and the call site (line, file, build date) and goes to the
 * system log when the process runs detached, else to standard error.
 * A call site that reports many times in a row is silenced after
 * mon_ErrLimit reports until some other site reports.
 */
#include "monErr.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>
#include <time.h>

#define MON_BUFLEN 256

int mon_Daemon = 0;
int mon_ErrLimit = 3;

/* Call site of the previous report, copied so that it cannot dangle. */
static int haveOld;
static int oldLine;
static char oldFile[MON_BUFLEN];
static char oldDate[MON_BUFLEN];
static char oldFmt[MON_BUFLEN];
static int sameErr;

static char prtbuf[MON_BUFLEN];  /* the whole report */
static char logbuf[MON_BUFLEN];  /* the formatted message alone */

static const char *
NonNull(const char *s)
{
    return s != NULL ? s : "";
}

static int
SameText(const char *old, const char *s)
{
    return strncmp(old, NonNull(s), MON_BUFLEN - 1) == 0;
}

static void
CopyText(char *dst, const char *s)
{
    snprintf(dst, MON_BUFLEN, "%s", NonNull(s));
}

/*
 * Counts a report from the same site as the previous one; returns 1 when
 * the burst limit is reached and the report must not be shown.
 */
static int
Suppressed(int line, const char *file, const char *date, const char *fmt)
{
    if (haveOld && line == oldLine && SameText(oldFile, file) &&
        SameText(oldDate, date) && SameText(oldFmt, fmt)) {
        if (++sameErr >= mon_ErrLimit) {
            sameErr = mon_ErrLimit;
            return 1;
        }
    } else {
        sameErr = 0;
    }
    haveOld = 1;
    oldLine = line;
    CopyText(oldFile, file);
    CopyText(oldDate, date);
    CopyText(oldFmt, fmt);
    return 0;
}

/* Appends to prtbuf, cutting what does not fit. */
static void __attribute__((format(printf, 1, 2)))
Append(const char *fmt, ...)
{
    size_t len = strlen(prtbuf);
    va_list ap;

    if (len + 1 >= sizeof prtbuf)
        return;
    va_start(ap, fmt);
    vsnprintf(prtbuf + len, sizeof prtbuf - len, fmt, ap);
    va_end(ap);
}

static void
ErrDisplay(int isSysErr, int isFatal, int priority, int line,
           const char *file, const char *date, const char *func,
           const char *fmt, va_list ap)
{
    int err = errno;
    time_t now = time(NULL);
    char when[64];

    if (Suppressed(line, file, date, fmt))
        return;

    snprintf(prtbuf, sizeof prtbuf, "\n%s%sERROR: %s: ",
             isFatal ? "FATAL " : "", isSysErr ? "SYSTEM " : "",
             NonNull(func));
    vsnprintf(logbuf, sizeof logbuf, NonNull(fmt), ap);
    Append("%s", logbuf);

    if (isSysErr) {
        if (err <= 0 || strerrordesc_np(err) == NULL)
            err = ENOSYS;
        Append("\nerrno=%d %s", err, strerror(err));
    }

    if (ctime_r(&now, when) == NULL)
        snprintf(when, sizeof when, "?\n");
    Append("\n%s(%d) of [%s] on %s", NonNull(file), line, NonNull(date),
           when);
    /* A cut report still ends its line. */
    if (strlen(prtbuf) == sizeof prtbuf - 1)
        prtbuf[sizeof prtbuf - 2] = '\n';

    if (mon_Daemon) {
        syslog(priority, "%s", logbuf);
    } else {
        fputs(prtbuf, stderr);
        fflush(stderr);
    }
    /* The caller sees its own errno again, or ENOSYS in its place. */
    errno = err;
}

void
Mon_SysErrRet(int line, const char *file, const char *date,
              const char *func, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    ErrDisplay(1, 0, LOG_NOTICE, line, file, date, func, fmt, ap);
    va_end(ap);
}

void
Mon_SysErrFatal(int line, const char *file, const char *date,
                const char *func, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    ErrDisplay(1, 1, LOG_NOTICE, line, file, date, func, fmt, ap);
    va_end(ap);
    exit(1);
}

void
Mon_ErrRet(int line, const char *file, const char *date,
           const char *func, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    ErrDisplay(0, 0, LOG_NOTICE, line, file, date, func, fmt, ap);
    va_end(ap);
}

void
Mon_ErrFatal(int line, const char *file, const char *date,
             const char *func, const char *fmt, ...)
{
    va_list ap;

    va_start(ap, fmt);
    ErrDisplay(0, 1, LOG_NOTICE, line, file, date, func, fmt, ap);
    va_end(ap);
    exit(1);
}

void
MonSysLogOpen(const char *ident, int option, int facility)
{
    if (mon_Daemon)
        openlog(ident, option, facility);
}
