/*
 * A program built against an installed kvx, as a user of the library builds
 * one: it includes the installed headers and links the installed library.
 *
 *   consumer FILE.kvx   prints "length MS codecs FLAGS" of FILE
 *
 * It also opens a file that is not there, which must fail with
 * KVX_ERR_OPEN, and on Linux chooses the silent wave sink through the
 * platform layer's header.  Exit status 0 when all of it went as expected.
 */
#include <stdio.h>

#include "kvx.h"
#ifndef _WIN32
#include "kvx_posix.h"
#include "kvx_progress.h"
#endif

int main(int argc, char **argv)
{
    uint32_t length = 0;
    uint16_t codecs = 0;
    uint32_t rc;
    if (argc != 3) {
        fprintf(stderr, "usage: consumer FILE.kvx MISSING.kvx\n");
        return 2;
    }
#ifndef _WIN32
    if (!KVXPosixSetWaveSink("null")) {
        fprintf(stderr, "consumer: the null wave sink was refused\n");
        return 1;
    }
#endif
    rc = KVXActiveFile(argv[2], &length, &codecs);
    if (rc != KVX_ERR_OPEN) {
        fprintf(stderr, "consumer: %s: result %u, wanted %u\n", argv[2], rc, (unsigned)KVX_ERR_OPEN);
        return 1;
    }
    rc = KVXActiveFile(argv[1], &length, &codecs);
    if (rc != KVX_OK) {
        fprintf(stderr, "consumer: %s: result %u\n", argv[1], rc);
        return 1;
    }
    printf("length %u codecs %u\n", length, (unsigned)codecs);
    return 0;
}
