/* The IVI-C families from a plain C program: only Korvane.h and the driver library.
 *
 * With a resource argument (the simulator's) the session talks to an instrument; without one
 * the driver simulates a mixed-signal model. Every function family, every function group and
 * every attribute type and repeated capability is reached at least once; the edge cases of the
 * buffer, pointer, identifier and selector rules are a table at the end. */
#include <Korvane.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;
static ViSession vi = VI_NULL;

static void Fail(const char* what, ViStatus status, int line) {
  ViStatus code = 0;
  ViChar text[512] = "";
  Korvane_GetError(vi, &code, sizeof text, text);
  printf("FAILED (line %d): %s: status 0x%08lX, %s\n", line, what, (unsigned long)(ViUInt32)status, text);
  ++failures;
}

/* A call that must not fail (warnings pass). */
#define OK(call)                           \
  do {                                     \
    ViStatus s_ = (call);                  \
    if (s_ < 0) Fail(#call, s_, __LINE__); \
  } while (0)
/* A condition that must hold. */
#define EXPECT(cond)                       \
  do {                                     \
    if (!(cond)) Fail(#cond, 0, __LINE__); \
  } while (0)

static int simulating = 1;

static void Attributes(void) {
  ViInt32 i32 = 0;
  ViInt64 i64 = -1;
  ViReal64 r64 = 0;
  ViBoolean b = VI_FALSE;
  ViChar s[64] = "";

  /* One of each type on the root object, written then read back. */
  OK(Korvane_SetAttributeViInt32(vi, "", KORVANE_ATTR_NUM_AVERAGES, 16));
  OK(Korvane_GetAttributeViInt32(vi, "", KORVANE_ATTR_NUM_AVERAGES, &i32));
  EXPECT(i32 == 16);
  OK(Korvane_SetAttributeViInt64(vi, "", KORVANE_ATTR_MASK_TEST_CONFIGURATION_WAVEFORM, 5000000000LL));
  OK(Korvane_GetAttributeViInt64(vi, "", KORVANE_ATTR_MASK_TEST_CONFIGURATION_WAVEFORM, &i64));
  EXPECT(i64 == 5000000000LL);
  OK(Korvane_SetAttributeViReal64(vi, "", KORVANE_ATTR_HORZ_TIME_PER_RECORD, 2e-3));
  OK(Korvane_GetAttributeViReal64(vi, "", KORVANE_ATTR_HORZ_TIME_PER_RECORD, &r64));
  EXPECT(r64 > 1.9e-3 && r64 < 2.1e-3);
  OK(Korvane_SetAttributeViBoolean(vi, "", KORVANE_ATTR_DISPLAY_LABEL_ENABLED, VI_TRUE));
  OK(Korvane_GetAttributeViBoolean(vi, "", KORVANE_ATTR_DISPLAY_LABEL_ENABLED, &b));
  EXPECT(b == VI_TRUE);
  OK(Korvane_GetAttributeViBoolean(vi, "", KORVANE_ATTR_SIMULATE, &b));
  EXPECT(b == (simulating ? VI_TRUE : VI_FALSE));
  OK(Korvane_GetAttributeViString(vi, "", KORVANE_ATTR_INSTRUMENT_MODEL, sizeof s, s));
  EXPECT(strcmp(s, "MSO-CD1000") == 0);
  OK(Korvane_GetAttributeViString(vi, "", KORVANE_ATTR_SPECIFIC_DRIVER_VENDOR, sizeof s, s));
  EXPECT(s[0] != '\0');

  /* Each repeated capability: the item the name selects, and only that one. */
  OK(Korvane_SetAttributeViReal64(vi, "Channel2", KORVANE_ATTR_VERTICAL_OFFSET, 0.25));
  OK(Korvane_SetAttributeViReal64(vi, "Channel1", KORVANE_ATTR_VERTICAL_OFFSET, -0.5));
  OK(Korvane_GetAttributeViReal64(vi, "Channel2", KORVANE_ATTR_VERTICAL_OFFSET, &r64));
  EXPECT(r64 == 0.25);
  OK(Korvane_SetAttributeViString(vi, "Channel1", KORVANE_ATTR_CHANNEL_LABEL, "PROBE"));
  OK(Korvane_GetAttributeViString(vi, "Channel1", KORVANE_ATTR_CHANNEL_LABEL, sizeof s, s));
  EXPECT(strcmp(s, "PROBE") == 0);
  OK(Korvane_SetAttributeViInt32(vi, "DigitalChannel3", KORVANE_ATTR_DIGITAL_CHANNEL_POSITION, 5));
  OK(Korvane_GetAttributeViInt32(vi, "DigitalChannel3", KORVANE_ATTR_DIGITAL_CHANNEL_POSITION, &i32));
  EXPECT(i32 == 5);
  /* Through the bus item's protocol interface. */
  OK(Korvane_SetAttributeViInt32(vi, "SerialBus1", KORVANE_ATTR_SERIAL_BUS_CAN_BAUD_RATE, 500000));
  OK(Korvane_GetAttributeViInt32(vi, "SerialBus1", KORVANE_ATTR_SERIAL_BUS_CAN_BAUD_RATE, &i32));
  EXPECT(i32 == 500000);
  OK(Korvane_SetAttributeViReal64(vi, "Math1", KORVANE_ATTR_MATH_FUNCTION_OFFSET, 1.5));
  OK(Korvane_GetAttributeViReal64(vi, "Math1", KORVANE_ATTR_MATH_FUNCTION_OFFSET, &r64));
  EXPECT(r64 == 1.5);
  OK(Korvane_SetAttributeViReal64(vi, "WaveGen1", KORVANE_ATTR_WAVE_GEN_FREQUENCY, 2000.0));
  OK(Korvane_GetAttributeViReal64(vi, "WaveGen1", KORVANE_ATTR_WAVE_GEN_FREQUENCY, &r64));
  EXPECT(r64 == 2000.0);
}

static void Functions(void) {
  static ViReal64 wave[2000], wmin[2000], wmax[2000];
  static ViByte bytes[4096];
  ViReal64 x0 = -1, dx = -1, r64 = 0, lo = 0, hi = 0, pre[16];
  ViInt32 n = -1, i32 = -1;
  ViInt64 count = -1;
  ViBoolean b = VI_TRUE;
  ViChar s[256] = "";
  ViReal64 arb[4] = {0.0, 0.5, 1.0, 0.5};

  /* Acquisition: configure, scalar queries. */
  OK(Korvane_ConfigureAcquisitionRecord(vi, 1e-3, 1000, 0.0));
  OK(Korvane_ConfigureAcquisitionType(vi, KORVANE_VAL_IVI_SCOPE_ACQUISITION_TYPE_NORMAL));
  OK(Korvane_ActualRecordLength(vi, &n));
  EXPECT(n > 0);
  OK(Korvane_SampleRate(vi, &r64));
  /* Channels: the name resolved through the measurement collection, the channel's Configure. */
  OK(Korvane_ConfigureChannel(vi, "Channel1", 8.0, 0.0, KORVANE_VAL_IVI_SCOPE_VERTICAL_COUPLING_DC, 1.0, VI_TRUE));
  OK(Korvane_GetAttributeViReal64(vi, "Channel1", KORVANE_ATTR_VERTICAL_RANGE, &r64));
  EXPECT(r64 == 8.0);
  OK(Korvane_GetChannelName(vi, 1, sizeof s, s));
  EXPECT(strcmp(s, "Channel1") == 0);
  OK(Korvane_GetProbeID(vi, "Channel1", sizeof s, s));
  /* Trigger: configure, string in, action, min/max query. */
  OK(Korvane_ConfigureTrigger(vi, KORVANE_VAL_IVI_SCOPE_TRIGGER_TYPE_EDGE, 1e-6));
  OK(Korvane_ConfigureEdgeTriggerSource(vi, "Channel1", 0.1, KORVANE_VAL_IVI_SCOPE_TRIGGER_SLOPE_POSITIVE));
  OK(Korvane_TriggerGlitchGetRange(vi, &lo, &hi));
  /* Measurements and waveforms: actions, status, array outputs on an item and on the root. */
  OK(Korvane_InitiateAcquisition(vi));
  OK(Korvane_AcquisitionStatus(vi, &i32));
  OK(Korvane_ReadWaveform(vi, "Channel1", 2000, 5000, wave, &n, &x0, &dx));
  EXPECT(n >= 0 && n <= 2000);
  OK(Korvane_FetchWaveform(vi, "Channel1", 2000, wave, &n, &x0, &dx));
  EXPECT(n >= 0 && n <= 2000);
  if (!simulating) EXPECT(n > 0 && dx > 0);
  /* Min/max records need a peak-detect or envelope acquisition; the instrument's error arrives mapped. */
  if (simulating) OK(Korvane_FetchMinMaxWaveform(vi, "Channel1", 2000, wmin, wmax, &n, &x0, &dx));
  else
    EXPECT(Korvane_FetchMinMaxWaveform(vi, "Channel1", 2000, wmin, wmax, &n, &x0, &dx) ==
           IVISCOPE_ERROR_INVALID_ACQ_TYPE);
  OK(Korvane_WaveformPreamble(vi, 16, pre, &n));
  OK(Korvane_GetMeasurementName(vi, 1, sizeof s, s));
  EXPECT(strcmp(s, "Channel1") == 0);
  OK(Korvane_IsInvalidWfmElement(vi, 1.0, &b));
  EXPECT(b == VI_FALSE);
  /* Display, status. */
  OK(Korvane_DisplayErase(vi));
  OK(Korvane_StatusClear(vi));
  /* System and direct I/O: strings and bytes both ways. */
  OK(Korvane_SystemWriteString(vi, "*IDN?"));
  OK(Korvane_SystemReadString(vi, sizeof s, s));
  if (!simulating) EXPECT(strstr(s, "MSO-CD1000") != NULL);
  OK(Korvane_viWrite(vi, 6, (ViByte*)"*IDN?\n", &count));
  EXPECT(count == 6);
  OK(Korvane_viRead(vi, sizeof bytes, bytes, &count));
  if (!simulating) EXPECT(count > 10 && memcmp(bytes, s, 10) == 0);
  OK(Korvane_SystemWriteBytes(vi, 6, (ViByte*)"*IDN?\n"));
  n = -1;
  OK(Korvane_SystemReadBytes(vi, 10, bytes, &n));
  EXPECT(n == (simulating ? 0 : 10));
  if (!simulating) EXPECT(memcmp(bytes, s, 10) == 0);
  OK(Korvane_SystemClearIO(vi));
  /* Digital channels: name by index, byte waveform on an item. */
  OK(Korvane_GetDigitalChannelName(vi, 1, sizeof s, s));
  EXPECT(strcmp(s, "DigitalChannel0") == 0);
  OK(Korvane_DigitalChannelBusSetLabel(vi, 1, "BUS"));
  /* Mask test, reference waveforms, memory. */
  OK(Korvane_MaskTestReset(vi));
  OK(Korvane_ReferenceWaveformSetOffset(vi, 1, 0.5));
  OK(Korvane_ReferenceWaveformGetOffset(vi, 1, &r64));
  /* Waveform generator: array in on the root, actions on an item. */
  OK(Korvane_SetArbitraryData(vi, 4, arb));
  OK(Korvane_GetWaveGenName(vi, 1, sizeof s, s));
  EXPECT(strcmp(s, "WaveGen1") == 0);
  OK(Korvane_WaveGenReset(vi, "WaveGen1"));
  OK(Korvane_WaveGenSetArbitraryData(vi, "WaveGen1", 4, arb));
  /* Search. */
  OK(Korvane_ConfigureSearchEdge(vi, "Channel1", KORVANE_VAL_SEARCH_EDGE_SLOPE_POSITIVE));
  /* Serial buses: the bus's protocol interface. */
  OK(Korvane_GetSerialBusName(vi, 1, sizeof s, s));
  EXPECT(strcmp(s, "SerialBus1") == 0);
  OK(Korvane_ResetSerialBusCounters(vi, "SerialBus1"));
  OK(Korvane_SerialBusSentSetSignalLength(vi, "SerialBus1", 1, 12));
  /* Counter, histogram, FFT, math names. */
  OK(Korvane_GetMathFunctionName(vi, 1, sizeof s, s));
  EXPECT(strcmp(s, "Math1") == 0);
  OK(Korvane_HistogramReset(vi));
  OK(Korvane_FFTClear(vi));
}

/* ---- Edge cases, one row each: the call, the status it must give, the text it must store. */

static ViStatus NullOutput(void) {
  ViReal64 wave[4];
  ViReal64 x0;
  ViInt32 n;
  return Korvane_FetchWaveform(vi, "Channel1", 4, wave, &n, NULL, &x0);
}
static ViStatus FirstNullFirst(void) {
  ViReal64 wave[4];
  return Korvane_FetchWaveform(vi, "Channel1", 4, wave, NULL, NULL, NULL);
}
static ViStatus UnknownId(void) {
  ViInt32 v;
  return Korvane_GetAttributeViInt32(vi, "", 1150000, &v);
}
static ViStatus UnknownIdAfterTable(void) { return Korvane_SetAttributeViInt32(vi, "", 1150699, 1); }
static ViStatus WrongType(void) {
  ViInt32 v;
  return Korvane_GetAttributeViInt32(vi, "Channel1", KORVANE_ATTR_VERTICAL_RANGE, &v);
}
static ViStatus ReadOnly(void) { return Korvane_SetAttributeViInt32(vi, "", KORVANE_ATTR_HORZ_RECORD_LENGTH, 10); }
static ViStatus WriteOnly(void) {
  ViInt32 v;
  return Korvane_GetAttributeViInt32(vi, "", KORVANE_ATTR_DISPLAY3_SIDEBAR, &v);
}
static ViStatus NullAttributeValue(void) {
  return Korvane_GetAttributeViReal64(vi, "Channel1", KORVANE_ATTR_VERTICAL_OFFSET, NULL);
}
static ViStatus UnknownChannel(void) {
  ViBoolean v;
  return Korvane_GetAttributeViBoolean(vi, "Channel9", KORVANE_ATTR_CHANNEL_ENABLED, &v);
}
static ViStatus BadRange(void) { return Korvane_ConfigureChannel(vi, "CH3-CH1", 1.0, 0.0, 1, 1.0, VI_TRUE); }
static ViStatus MixedRange(void) { return Korvane_WaveGenReset(vi, "CH1-X3"); }
static ViStatus OpenRange(void) { return Korvane_ResetSerialBusCounters(vi, "CH1-"); }
static ViStatus EmptyName(void) { return Korvane_WaveGenReset(vi, ""); }
static ViStatus ReadNullBuffer(void) {
  ViInt64 count = -1;
  ViStatus s;
  Korvane_SystemWriteString(vi, "*IDN?");
  s = Korvane_viRead(vi, 100, NULL, &count);
  return s;
}
static ViStatus NullReturnCount(void) { return Korvane_viWrite(vi, 1, (ViByte*)"\n", NULL); }

static const struct {
  const char* what;
  ViStatus (*call)(void);
  ViStatus status;
  const char* text; /* stored with the session; NULL: not checked */
} kEdges[] = {
    {"NULL initial X", NullOutput, IVI_ERROR_NULL_POINTER, "Parameter InitialX is VI_NULL."},
    {"first NULL pointer in order", FirstNullFirst, IVI_ERROR_NULL_POINTER, "Parameter ActualPoints is VI_NULL."},
    {"identifier below the table", UnknownId, IVI_ERROR_INVALID_ATTRIBUTE, "Attribute ID not recognized."},
    {"identifier above the table", UnknownIdAfterTable, IVI_ERROR_INVALID_ATTRIBUTE, "Attribute ID not recognized."},
    {"ViReal64 attribute read as ViInt32", WrongType, IVI_ERROR_TYPES_DO_NOT_MATCH,
     "Wrong attribute accessor invoked for attribute type."},
    {"read-only attribute written", ReadOnly, IVI_ERROR_ATTR_NOT_WRITEABLE, "Attribute is read-only."},
    {"write-only attribute read", WriteOnly, IVI_ERROR_ATTR_NOT_READABLE, "Attribute is write-only."},
    {"NULL attribute value", NullAttributeValue, IVI_ERROR_NULL_POINTER, "Parameter AttributeValue is VI_NULL."},
    {"unknown channel name", UnknownChannel, IVI_ERROR_UNKNOWN_PHYSICAL_IDENTIFIER,
     "Korvane: Unknown physical repeated capability selector."},
    {"descending range", BadRange, IVI_ERROR_INVALID_RANGE_IN_SELECTOR,
     "Invalid range specified in repeated capability selector."},
    {"range over two prefixes", MixedRange, IVI_ERROR_INVALID_RANGE_IN_SELECTOR, NULL},
    {"range without an end", OpenRange, IVI_ERROR_BADLY_FORMED_SELECTOR,
     "The repeated capability selector is badly-formed."},
    {"empty name", EmptyName, IVI_ERROR_CHANNEL_NAME_REQUIRED, NULL},
    {"NULL return count", NullReturnCount, IVI_ERROR_NULL_POINTER, "Parameter ReturnCount is VI_NULL."},
    {"read into a NULL buffer", ReadNullBuffer, KORVANE_ERROR_UNMAPPED, NULL},
};

static void EdgeCases(void) {
  unsigned i;
  for (i = 0; i < sizeof kEdges / sizeof kEdges[0]; ++i) {
    ViStatus code = 0;
    ViChar text[512] = "";
    ViStatus s;
    Korvane_ClearError(vi);
    s = kEdges[i].call();
    Korvane_GetError(vi, &code, sizeof text, text);
    if (s != kEdges[i].status || (kEdges[i].text && strcmp(text, kEdges[i].text) != 0)) {
      printf("FAILED: %s: status 0x%08lX (want 0x%08lX), text \"%s\"\n", kEdges[i].what, (unsigned long)(ViUInt32)s,
             (unsigned long)(ViUInt32)kEdges[i].status, text);
      ++failures;
    }
  }
}

/* The buffer rules on a string function and on a string attribute. */
static void Buffers(void) {
  ViChar s[16];
  ViChar four[4] = "xxx";
  ViInt32 n = -1;
  ViReal64 wave[100];
  ViReal64 x0, dx;

  memset(s, '#', sizeof s);
  EXPECT(Korvane_GetChannelName(vi, 1, 0, s) == 9 && s[0] == '#'); /* "Channel1" and its terminator */
  EXPECT(Korvane_GetChannelName(vi, 1, 0, NULL) == 9);
  EXPECT(Korvane_GetChannelName(vi, 1, 5, s) == 9 && strcmp(s, "Chan") == 0);
  EXPECT(Korvane_GetChannelName(vi, 1, -1, s) == 0 && strcmp(s, "Channel1") == 0);
  EXPECT(Korvane_GetAttributeViString(vi, "", KORVANE_ATTR_SPECIFIC_DRIVER_PREFIX, 4, four) == 8 &&
         strcmp(four, "Kor") == 0);
  /* Without a session too: the prefix and the class version. */
  EXPECT(Korvane_GetAttributeViString(VI_NULL, "", KORVANE_ATTR_SPECIFIC_DRIVER_PREFIX, 0, NULL) == 8);
  EXPECT(Korvane_GetAttributeViInt32(VI_NULL, "", KORVANE_ATTR_SPECIFIC_DRIVER_CLASS_SPEC_MAJOR_VERSION, &n) == 0 &&
         n > 0);
  /* A record longer than the caller's array is cut to it. */
  if (!simulating) {
    EXPECT(Korvane_FetchWaveform(vi, "Channel1", 100, wave, &n, &x0, &dx) == 0 && n == 100);
  }
}

int main(int argc, char** argv) {
  ViStatus status;
  if (argc > 1) {
    simulating = 0;
    status = Korvane_InitWithOptions(argv[1], VI_TRUE, VI_TRUE, "", &vi);
  } else {
    status = Korvane_InitWithOptions("TCPIP0::192.0.2.7::INSTR", VI_TRUE, VI_TRUE,
                                     "Simulate=true, DriverSetup= Model=MSO-CD1000", &vi);
  }
  if (status < 0) {
    Fail("InitWithOptions", status, __LINE__);
    return 1;
  }
  Attributes();
  Functions();
  Buffers();
  EdgeCases();
  status = Korvane_close(vi);
  if (status != VI_SUCCESS) Fail("close", status, __LINE__);
  printf("%s: %d failed\n", simulating ? "simulated" : argv[1], failures);
  return failures == 0 ? 0 : 1;
}
