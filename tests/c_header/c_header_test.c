/* A host written in C: the public header compiled as C11 with its layout checks, and every export
 * called through the import library. The guarded exports before a start, the refused starts, then
 * a start from a record laid out by C. */
#include "overlay_client_api.h"

#include <stdio.h>

static int failures = 0;

static void check(int ok, const char* what, int line)
{
    if (!ok) {
        fprintf(stderr, "c_header_test.c:%d: failed: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) check((condition) != 0, #condition, __LINE__)

/* The four guarded exports, which always agree. */
static void checkGuards(OverlayClientResult expected, int line)
{
    check(getOverlayClientState() == expected, "getOverlayClientState", line);
    check(prepareOverlay() == expected, "prepareOverlay", line);
    check(showTestOverlay(NULL) == expected, "showTestOverlay", line);
    check(hideOverlay() == expected, "hideOverlay", line);
}

int main(void)
{
    int64_t id = 42;
    OverlayClientInitParams noPipe = {NULL, 0, L"ignored"};
    OverlayClientInitParams plain = {"c_header_test_no_host", 0, NULL};
    OverlayClientInitParamsEx params = {
        OVERLAY_CLIENT_INIT_PARAMS_EX_VERSION, "c_header_test_no_host", 0, NULL, 1, OVERLAY_CLIENT_GRAPHIC_API_DXGI, 0};

    checkGuards(OVERLAY_CLIENT_RESULT_NOT_INITIALIZED, __LINE__);
    CHECK(getOverlayClientId(NULL) == OVERLAY_CLIENT_RESULT_INVALID_ARGUMENT);
    CHECK(getOverlayClientId(&id) == OVERLAY_CLIENT_RESULT_NOT_INITIALIZED);
    CHECK(id == 42);
    deinitializeOverlay();

    CHECK(initializeOverlayEx(NULL) == OVERLAY_CLIENT_RESULT_INVALID_ARGUMENT);
    CHECK(initializeOverlay(NULL) == 0);
    CHECK(initializeOverlay(&noPipe) == 0);
    checkGuards(OVERLAY_CLIENT_RESULT_NOT_INITIALIZED, __LINE__);

    /* No host and no frames: started, but the game window is not known yet. */
    CHECK(initializeOverlayEx(&params) == OVERLAY_CLIENT_RESULT_SUCCESS);
    checkGuards(OVERLAY_CLIENT_RESULT_CLIENT_NOT_CREATED, __LINE__);
    CHECK(getOverlayClientId(&id) == OVERLAY_CLIENT_RESULT_SUCCESS);
    CHECK(id != 0 && id != 42);
    /* A second start returns the first one's outcome: one byte, 1. */
    CHECK(initializeOverlay(&plain) == 1);

    printf("c_header_tests: %d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
