/* A C client of the installed interface: only Korvane.h and the shared library. It opens a
 * simulated session, reads errors and revisions, resets, self-tests and closes it. */
#include <Korvane.h>
#include <korvane/KorvaneVersion.h>

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#endif

static int failures = 0;

static void Expect(int ok, const char* what, ViStatus status) {
  if (!ok) {
    printf("FAILED: %s (status 0x%08lX)\n", what, (unsigned long)(ViUInt32)status);
    ++failures;
  }
}

int main(void) {
  ViSession vi = VI_NULL;
  ViStatus status;
  ViInt32 code = -1;
  ViInt16 result = -1;
  ViChar message[256];
  ViChar driverRev[256];
  ViChar instrRev[256];
  ViStatus errorCode = 0;
  ViChar description[512];

  status = Korvane_InitWithOptions("TCPIP0::192.0.2.7::INSTR", VI_TRUE, VI_TRUE,
                                   "Simulate=true, DriverSetup= Model=MSO-BR100", &vi);
  Expect(status == VI_SUCCESS && vi != VI_NULL, "InitWithOptions", status);
  if (status != VI_SUCCESS) {
    Korvane_GetError(VI_NULL, &errorCode, sizeof description, description);
    printf("%s\n", description);
    return 1;
  }

  status = Korvane_error_query(vi, &code, message);
  Expect(status == VI_SUCCESS && code == 0 && strcmp(message, "No error.") == 0, "error_query", status);
  status = Korvane_revision_query(vi, driverRev, instrRev);
  Expect(status == VI_SUCCESS && strcmp(driverRev, KORVANE_DRIVER_REVISION) == 0 &&
             strcmp(instrRev, "Sim" KORVANE_DRIVER_REVISION) == 0,
         "revision_query", status);
  status = Korvane_reset(vi);
  Expect(status == VI_SUCCESS, "reset", status);
  status = Korvane_self_test(vi, &result, message);
  Expect(status == VI_SUCCESS && result == 0 && strcmp(message, "Selftest passed") == 0, "self_test", status);

  status = Korvane_close(vi);
  Expect(status == VI_SUCCESS, "close", status);
  status = Korvane_close(vi);
  Expect(status == IVI_ERROR_INVALID_SESSION_HANDLE, "close of a closed session", status);

#if defined(_WIN32)
  /* The server's entry points are exported beside the C functions. */
  {
    HMODULE dll = GetModuleHandleA("Korvane.dll");
    Expect(dll != NULL && GetProcAddress(dll, "DllGetClassObject") != NULL &&
               GetProcAddress(dll, "DllCanUnloadNow") != NULL,
           "class-object entry points exported", 0);
  }
#endif

  if (failures == 0) printf("C client: all checks passed\n");
  return failures == 0 ? 0 : 1;
}
