/* Compiled as C: the public header must stand on its own in a C translation unit. */
#include <Korvane.h>

int KorvaneHeaderCheckC(void);

int KorvaneHeaderCheckC(void) {
  ViSession vi = VI_NULL;
  ViStatus codes[3];
  ViConstString text = "x";
  codes[0] = IVI_ERROR_INVALID_SESSION_HANDLE;
  codes[1] = IVI_WARN_NSUP_ID_QUERY;
  codes[2] = KORVANE_ERROR_NO_DATA;
  if (sizeof(ViInt32) != 4 || sizeof(ViInt16) != 2 || sizeof(ViBoolean) != 2 || sizeof(ViSession) != 4 ||
      sizeof(ViInt64) != 8 || sizeof(ViReal64) != 8 || sizeof(ViAttr) != 4)
    return 1;
  if (codes[0] >= 0 || codes[1] <= 0 || codes[2] != IVI_SPECIFIC_ERROR_BASE + 0x21E) return 2;
  if ((ViUInt32)codes[0] != (ViUInt32)0xBFFA1190UL || vi != 0 || text[0] != 'x') return 3;
  return 0;
}
