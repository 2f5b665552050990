/* A library named vbuzip10.dll that lacks the version entry point; its unzip entry answers 77. */
#include "vbuzip10.h"

UZ_EXPORT int32_t UZ_CALL Wiz_SingleEntryUnzip(int32_t includeCount, UnzipNameList* include,
                                               int32_t excludeCount, UnzipNameList* exclude,
                                               UnzipOptions* options, UnzipCallbacks* callbacks) {
    (void)includeCount;
    (void)include;
    (void)excludeCount;
    (void)exclude;
    (void)options;
    (void)callbacks;
    return 77;
}
