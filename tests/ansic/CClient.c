/* The demo's steps through the flat C API, from a C99 program that sees only kvscope.h and links
 * only the shared library: open a session (the driver's simulation without an argument, else the
 * resource given), set up a channel and the trigger, read a waveform and a measurement, query the
 * errors, close. Each check prints what failed; the status is the number of failures. */
#include <kvscope.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char* what, int32_t status) {
  if (!ok) {
    char text[512] = "";
    size_t needed = 0;
    KVScope_error_message(status, sizeof text, text, &needed);
    printf("FAILED: %s (status 0x%08lX %s)\n", what, (unsigned long)(uint32_t)status, text);
    ++failures;
  }
}

#define CALL(expr)             \
  do {                         \
    st = (expr);               \
    check(st >= 0, #expr, st); \
  } while (0)

int main(int argc, char** argv) {
  KVScopeSession s = KVSCOPE_INVALID_SESSION;
  int32_t st;
  char text[256];
  size_t needed = 0;
  double* points;
  double initialX = 0, increment = 0, vpp = 0, offset = 0;
  int32_t code = -1;
  KVScopeTriggerSlope slope = KVSCOPE_TRIGGER_SLOPE_NEGATIVE;

  if (argc > 1) CALL(KVScope_init_with_options(argv[1], true, true, "query_instrument_status=false", &s));
  else CALL(KVScope_init_with_options("", false, false, "simulate=true", &s));
  if (s == KVSCOPE_INVALID_SESSION) {
    KVScope_last_error_message(KVSCOPE_INVALID_SESSION, sizeof text, text, &needed);
    printf("no session: %s\n", text);
    return 1;
  }

  CALL(KVScope_instrument_model_get(s, sizeof text, text, &needed));
  check(needed == strlen(text) + 1 && needed > 1, "the model's size counts its NUL", 0);
  printf("model %s\n", text);

  CALL(KVScope_channels_enabled_set(s, "Channel1", true));
  CALL(KVScope_channels_offset_set(s, "Channel1", -0.25));
  CALL(KVScope_channels_offset_get(s, "Channel1", &offset));
  check(offset == -0.25, "the offset reads back", 0);
  CALL(KVScope_trigger_source_set(s, "Channel1"));
  CALL(KVScope_trigger_edge_slope_set(s, KVSCOPE_TRIGGER_SLOPE_POSITIVE));
  CALL(KVScope_trigger_edge_slope_get(s, &slope));
  check(slope == KVSCOPE_TRIGGER_SLOPE_POSITIVE, "the slope reads back", 0);

  /* A size query first: it gives the record length and starts nothing. */
  needed = 0;
  CALL(KVScope_measurements_read_waveform(s, "Channel1", 5000, 0, NULL, &needed, &initialX, &increment));
  check(needed > 0, "the size query gives the points needed", 0);
  points = (double*)malloc(needed * sizeof *points);
  CALL(KVScope_measurements_read_waveform(s, "Channel1", 5000, needed, points, &needed, &initialX, &increment));
  check(needed > 0, "a waveform", 0);
  /* The driver's own simulation gives its points without a time base. */
  check(argc == 1 || increment > 0, "the waveform's increment", 0);
  printf("%lu points, dx %g\n", (unsigned long)needed, increment);
  free(points);

  CALL(KVScope_measurements_fetch_waveform_measurement(s, "Channel1", KVSCOPE_MEASUREMENT_VOLTAGE_PEAK_TO_PEAK, &vpp));
  printf("Vpp %g\n", vpp);

  CALL(KVScope_error_query(s, &code, sizeof text, text, &needed));
  check(code == 0, "no instrument error", code);

  CALL(KVScope_close(s));
  check(KVScope_close(s) == KVSCOPE_ERROR_INVALID_SESSION, "a closed session is unknown", 0);
  printf("%s\n", failures ? "FAILED" : "all steps worked");
  return failures;
}
