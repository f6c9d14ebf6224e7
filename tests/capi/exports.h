#ifndef QEL_TESTS_EXPORTS_H
#define QEL_TESTS_EXPORTS_H
#include <stddef.h>
#ifdef __cplusplus
extern "C" {
#endif
typedef struct {
    const char* name;
    void (*address)(void);
} QelExportEntry;
extern const QelExportEntry QEL_EXPORTS[];
extern const size_t QEL_EXPORT_COUNT;
#ifdef __cplusplus
}
#endif
#endif
