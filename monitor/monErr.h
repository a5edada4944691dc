/*
 * Error reports of the connection-table library.  Each report names the
 * operation, source file, line and build date; a call site that reports
 * many times in a row is shown mon_ErrLimit times, then silenced until
 * another site reports.
 */
#ifndef MON_ERR_H
#define MON_ERR_H

#ifdef __cplusplus
extern "C" {
#endif

extern int mon_Daemon;    /* non-zero: reports go to the system log */
extern int mon_ErrLimit;  /* reports shown per burst, default 3 */

void Mon_SysErrRet(int line, const char *file, const char *date,
                   const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void Mon_SysErrFatal(int line, const char *file, const char *date,
                     const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6), noreturn));
void Mon_ErrRet(int line, const char *file, const char *date,
                const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
void Mon_ErrFatal(int line, const char *file, const char *date,
                  const char *func, const char *fmt, ...)
    __attribute__((format(printf, 5, 6), noreturn));
void MonSysLogOpen(const char *ident, int option, int facility);

/* Shorthands that fill in the call site. */
#define MON_SYS_ERR(func, ...) \
    Mon_SysErrRet(__LINE__, __FILE__, __DATE__, (func), __VA_ARGS__)
#define MON_ERR(func, ...) \
    Mon_ErrRet(__LINE__, __FILE__, __DATE__, (func), __VA_ARGS__)

#ifdef __cplusplus
}
#endif

#endif /* MON_ERR_H */
