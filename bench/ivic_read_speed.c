/* The C side of bench/run-python-bench: what the Python package is measured against, through the
 * same shared library and its headers alone.
 *   ivic_read_speed read <resource> <points>   Korvane_ReadWaveform of Channel1 into one buffer
 *                                              for each line read from stdin; prints its seconds
 *   ivic_read_speed get <gets>                         a simulated attribute read, ns per read
 *   ivic_read_speed ansic-read <resource> <points>     the same through the flat API (kvscope.h),
 *   ivic_read_speed ansic-get <gets>                   whose functions the package calls
 */
#include <Korvane.h>
#include <kvscope.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int Fail(ViSession vi, ViStatus status, const char* what) {
  ViStatus code = status;
  ViChar text[512] = "";
  Korvane_GetError(vi, &code, sizeof text, text);
  fprintf(stderr, "ivic_read_speed: %s failed: 0x%08lX %s\n", what, (unsigned long)(ViUInt32)status, text);
  return 1;
}

static int AnsiCFail(KVScopeSession s, int32_t status, const char* what) {
  char text[512] = "";
  KVScope_last_error_message(s, sizeof text, text, NULL);
  fprintf(stderr, "ivic_read_speed: %s failed: 0x%08lX %s\n", what, (unsigned long)(uint32_t)status, text);
  return 1;
}

static int AnsiCRead(const char* resource, size_t points) {
  KVScopeSession s = KVSCOPE_INVALID_SESSION;
  double* volts = malloc(sizeof(double) * points);
  size_t actual = 0;
  double x0 = 0, dx = 0;
  char line[16];
  int32_t st;
  if (!volts) return 1;
  st = KVScope_init_with_options(resource, false, false, "", &s);
  if (st < 0) return AnsiCFail(s, st, "KVScope_init_with_options");
  st = KVScope_waveform_point_count_set(s, (int32_t)points);
  if (st < 0) return AnsiCFail(s, st, "the point count");
  while (fgets(line, sizeof line, stdin)) {
    const double t0 = Now();
    st = KVScope_measurements_read_waveform(s, "Channel1", 5000, points, volts, &actual, &x0, &dx);
    if (st < 0 || actual != points) return AnsiCFail(s, st, "KVScope_measurements_read_waveform");
    printf("%.6f\n", Now() - t0);
    fflush(stdout);
  }
  free(volts);
  return KVScope_close(s) < 0;
}

static int AnsiCGet(long gets) {
  KVScopeSession s = KVSCOPE_INVALID_SESSION;
  double value = 0;
  long k;
  double t0;
  int32_t st = KVScope_init_with_options("TCPIP0::127.0.0.1::5025::SOCKET", false, false,
                                         "simulate=true;model=MSO-CD1000", &s);
  if (st < 0) return AnsiCFail(s, st, "KVScope_init_with_options");
  t0 = Now();
  for (k = 0; k < gets; ++k) {
    st = KVScope_timebase_horizontal_scale_get(s, &value);
    if (st < 0) return AnsiCFail(s, st, "KVScope_timebase_horizontal_scale_get");
  }
  printf("%.1f\n", (Now() - t0) / (double)gets * 1e9);
  return KVScope_close(s) < 0;
}

int main(int argc, char** argv) {
  ViSession vi = VI_NULL;
  ViStatus st;
  if (argc == 4 && strcmp(argv[1], "read") == 0) {
    const ViInt32 points = atoi(argv[3]);
    ViReal64* volts = malloc(sizeof(ViReal64) * (size_t)points);
    ViInt32 actual = 0;
    ViReal64 x0 = 0, dx = 0;
    char line[16];
    if (!volts) return 1;
    st = Korvane_InitWithOptions(argv[2], VI_FALSE, VI_FALSE, "", &vi);
    if (st < 0) return Fail(VI_NULL, st, "Korvane_InitWithOptions");
    st = Korvane_SetAttributeViInt32(vi, "", KORVANE_ATTR_WAVEFORM_POINT_COUNT, points);
    if (st < 0) return Fail(vi, st, "the point count");
    /* One read a request, so that the caller can take turns with its own reads. */
    while (fgets(line, sizeof line, stdin)) {
      const double t0 = Now();
      st = Korvane_ReadWaveform(vi, "Channel1", points, 5000, volts, &actual, &x0, &dx);
      if (st < 0 || actual != points) return Fail(vi, st, "Korvane_ReadWaveform");
      printf("%.6f\n", Now() - t0);
      fflush(stdout);
    }
    free(volts);
    return Korvane_close(vi) < 0;
  }
  if (argc == 3 && strcmp(argv[1], "get") == 0) {
    const long gets = atol(argv[2]);
    ViReal64 value = 0;
    long k;
    double t0;
    st = Korvane_InitWithOptions("TCPIP0::127.0.0.1::5025::SOCKET", VI_FALSE, VI_FALSE,
                                 "Simulate=true, DriverSetup= Model=MSO-CD1000", &vi);
    if (st < 0) return Fail(VI_NULL, st, "Korvane_InitWithOptions");
    t0 = Now();
    for (k = 0; k < gets; ++k) {
      st = Korvane_GetAttributeViReal64(vi, "", KORVANE_ATTR_TIMEBASE_HORIZONTAL_SCALE, &value);
      if (st < 0) return Fail(vi, st, "Korvane_GetAttributeViReal64");
    }
    printf("%.1f\n", (Now() - t0) / (double)gets * 1e9);
    return Korvane_close(vi) < 0;
  }
  if (argc == 4 && strcmp(argv[1], "ansic-read") == 0) return AnsiCRead(argv[2], (size_t)atol(argv[3]));
  if (argc == 3 && strcmp(argv[1], "ansic-get") == 0) return AnsiCGet(atol(argv[2]));
  fprintf(stderr, "usage: ivic_read_speed read|ansic-read <resource> <points> | get|ansic-get <gets>\n");
  return 2;
}
