/* Korvane IVI-C interface.
 *
 * Session handles (ViSession), status results (ViStatus) and caller-allocated buffers, in the
 * IVI-C conventions. Only functions that the library implements are declared here.
 */
#ifndef KORVANE_H
#define KORVANE_H

#include <limits.h>

/* ---- VISA base types ----
 * A system visatype.h included before this header takes precedence; the definitions below
 * follow the same rules, so either order gives the same types. */
#ifndef __VISATYPE_HEADER__
#define __VISATYPE_HEADER__

#if defined(_WIN64)
#define _VI_FAR
#define _VI_FUNC
#define _VI_FUNCC
#define _VI_FUNCH
#define _VI_SIGNED signed
#elif defined(_WIN32)
#define _VI_FAR
#define _VI_FUNC __stdcall
#define _VI_FUNCC __cdecl
#define _VI_FUNCH __stdcall
#define _VI_SIGNED signed
#else
#define _VI_FAR
#define _VI_FUNC
#define _VI_FUNCC
#define _VI_FUNCH
#define _VI_SIGNED signed
#endif

#define _VI_ERROR (-2147483647L - 1)
#define _VI_PTR _VI_FAR *

#if defined(LONG_MAX) && (LONG_MAX > 0x7FFFFFFFL)
typedef unsigned int ViUInt32;
typedef _VI_SIGNED int ViInt32;
#else
typedef unsigned long ViUInt32;
typedef _VI_SIGNED long ViInt32;
#endif
typedef ViUInt32 _VI_PTR ViPUInt32;
typedef ViUInt32 _VI_PTR ViAUInt32;
typedef ViInt32 _VI_PTR ViPInt32;
typedef ViInt32 _VI_PTR ViAInt32;

typedef unsigned short ViUInt16;
typedef ViUInt16 _VI_PTR ViPUInt16;
typedef ViUInt16 _VI_PTR ViAUInt16;
typedef _VI_SIGNED short ViInt16;
typedef ViInt16 _VI_PTR ViPInt16;
typedef ViInt16 _VI_PTR ViAInt16;

typedef unsigned char ViUInt8;
typedef ViUInt8 _VI_PTR ViPUInt8;
typedef ViUInt8 _VI_PTR ViAUInt8;
typedef _VI_SIGNED char ViInt8;
typedef ViInt8 _VI_PTR ViPInt8;
typedef ViInt8 _VI_PTR ViAInt8;

typedef char ViChar;
typedef ViChar _VI_PTR ViPChar;
typedef ViChar _VI_PTR ViAChar;
typedef unsigned char ViByte;
typedef ViByte _VI_PTR ViPByte;
typedef ViByte _VI_PTR ViAByte;
typedef void _VI_PTR ViAddr;
typedef ViAddr _VI_PTR ViPAddr;
typedef ViAddr _VI_PTR ViAAddr;

typedef float ViReal32;
typedef ViReal32 _VI_PTR ViPReal32;
typedef ViReal32 _VI_PTR ViAReal32;
typedef double ViReal64;
typedef ViReal64 _VI_PTR ViPReal64;
typedef ViReal64 _VI_PTR ViAReal64;

typedef ViPByte ViBuf;
typedef ViPByte ViPBuf;
typedef ViPByte _VI_PTR ViABuf;

typedef ViPChar ViString;
typedef ViPChar ViPString;
typedef ViPChar _VI_PTR ViAString;
typedef ViString ViRsrc;
typedef ViString ViPRsrc;
typedef ViString _VI_PTR ViARsrc;

typedef ViUInt16 ViBoolean;
typedef ViBoolean _VI_PTR ViPBoolean;
typedef ViBoolean _VI_PTR ViABoolean;

typedef ViInt32 ViStatus;
typedef ViStatus _VI_PTR ViPStatus;
typedef ViStatus _VI_PTR ViAStatus;

typedef ViUInt32 ViVersion;
typedef ViVersion _VI_PTR ViPVersion;
typedef ViVersion _VI_PTR ViAVersion;

typedef ViUInt32 ViObject;
typedef ViObject _VI_PTR ViPObject;
typedef ViObject _VI_PTR ViAObject;

typedef ViObject ViSession;
typedef ViSession _VI_PTR ViPSession;
typedef ViSession _VI_PTR ViASession;

#define VI_NULL 0
#define VI_TRUE 1
#define VI_FALSE 0
#define VI_ON 1
#define VI_OFF 0
#define VI_SUCCESS 0L

#endif /* __VISATYPE_HEADER__ */

/* Older base-type headers lack these; each has its own guard. */
#ifndef _VI_CONST_STRING_DEFINED
#define _VI_CONST_STRING_DEFINED
typedef const ViChar _VI_PTR ViConstString;
typedef ViConstString ViConstRsrc;
#endif

#ifndef _VI_INT64_UINT64_DEFINED
#define _VI_INT64_UINT64_DEFINED
#if defined(_WIN32) && !defined(__GNUC__)
typedef unsigned __int64 ViUInt64;
typedef _VI_SIGNED __int64 ViInt64;
#else
typedef unsigned long long ViUInt64;
typedef _VI_SIGNED long long ViInt64;
#endif
typedef ViUInt64 _VI_PTR ViPUInt64;
typedef ViUInt64 _VI_PTR ViAUInt64;
typedef ViInt64 _VI_PTR ViPInt64;
typedef ViInt64 _VI_PTR ViAInt64;
#endif

#if !defined(__VISA_HEADER__) && !defined(KORVANE_VIATTR_DEFINED)
#define KORVANE_VIATTR_DEFINED
typedef ViUInt32 ViAttr;
#endif

/* ---- Status codes ----
 * 0 success; IVI errors from 0xBFFA0000, IviScope errors from 0xBFFA2000, driver errors from
 * 0xBFFA4000, warnings from 0x3FFA0000. A positive result of a function with a string buffer is
 * the buffer size it needs. The standard names are defined only where no IVI header did so. */
#define KORVANE_STATUS(x) ((ViStatus)(0x##x##L - 0x100000000LL))
#define KORVANE_WARNING(x) ((ViStatus)0x##x##L)

#ifndef IVI_SUCCESS
#define IVI_SUCCESS 0L
#endif
#ifndef IVI_ERROR_BASE
#define IVI_ERROR_BASE KORVANE_STATUS(BFFA0000)
#endif
#ifndef IVI_WARN_BASE
#define IVI_WARN_BASE KORVANE_WARNING(3FFA0000)
#endif
#ifndef IVI_CLASS_ERROR_BASE
#define IVI_CLASS_ERROR_BASE KORVANE_STATUS(BFFA2000)
#endif
#ifndef IVI_CLASS_WARN_BASE
#define IVI_CLASS_WARN_BASE KORVANE_WARNING(3FFA2000)
#endif
#ifndef IVI_SPECIFIC_ERROR_BASE
#define IVI_SPECIFIC_ERROR_BASE KORVANE_STATUS(BFFA4000)
#endif

#ifndef IVI_ERROR_CANNOT_RECOVER
#define IVI_ERROR_CANNOT_RECOVER KORVANE_STATUS(BFFA0000)
#endif
#ifndef IVI_ERROR_INSTRUMENT_STATUS
#define IVI_ERROR_INSTRUMENT_STATUS KORVANE_STATUS(BFFA0001)
#endif
#ifndef IVI_ERROR_CANNOT_OPEN_FILE
#define IVI_ERROR_CANNOT_OPEN_FILE KORVANE_STATUS(BFFA0002)
#endif
#ifndef IVI_ERROR_READING_FILE
#define IVI_ERROR_READING_FILE KORVANE_STATUS(BFFA0003)
#endif
#ifndef IVI_ERROR_WRITING_FILE
#define IVI_ERROR_WRITING_FILE KORVANE_STATUS(BFFA0004)
#endif
#ifndef IVI_ERROR_INVALID_PATHNAME
#define IVI_ERROR_INVALID_PATHNAME KORVANE_STATUS(BFFA000B)
#endif
#ifndef IVI_ERROR_INVALID_ATTRIBUTE
#define IVI_ERROR_INVALID_ATTRIBUTE KORVANE_STATUS(BFFA000C)
#endif
#ifndef IVI_ERROR_ATTR_NOT_WRITEABLE
#define IVI_ERROR_ATTR_NOT_WRITEABLE KORVANE_STATUS(BFFA000D)
#endif
#ifndef IVI_ERROR_ATTR_NOT_READABLE
#define IVI_ERROR_ATTR_NOT_READABLE KORVANE_STATUS(BFFA000E)
#endif
#ifndef IVI_ERROR_INVALID_VALUE
#define IVI_ERROR_INVALID_VALUE KORVANE_STATUS(BFFA0010)
#endif
#ifndef IVI_ERROR_FUNCTION_NOT_SUPPORTED
#define IVI_ERROR_FUNCTION_NOT_SUPPORTED KORVANE_STATUS(BFFA0011)
#endif
#ifndef IVI_ERROR_ATTRIBUTE_NOT_SUPPORTED
#define IVI_ERROR_ATTRIBUTE_NOT_SUPPORTED KORVANE_STATUS(BFFA0012)
#endif
#ifndef IVI_ERROR_VALUE_NOT_SUPPORTED
#define IVI_ERROR_VALUE_NOT_SUPPORTED KORVANE_STATUS(BFFA0013)
#endif
#ifndef IVI_ERROR_TYPES_DO_NOT_MATCH
#define IVI_ERROR_TYPES_DO_NOT_MATCH KORVANE_STATUS(BFFA0015)
#endif
#ifndef IVI_ERROR_NOT_INITIALIZED
#define IVI_ERROR_NOT_INITIALIZED KORVANE_STATUS(BFFA001D)
#endif
#ifndef IVI_ERROR_UNKNOWN_CHANNEL_NAME
#define IVI_ERROR_UNKNOWN_CHANNEL_NAME KORVANE_STATUS(BFFA0020)
#endif
#ifndef IVI_ERROR_TOO_MANY_OPEN_FILES
#define IVI_ERROR_TOO_MANY_OPEN_FILES KORVANE_STATUS(BFFA0023)
#endif
#ifndef IVI_ERROR_CHANNEL_NAME_REQUIRED
#define IVI_ERROR_CHANNEL_NAME_REQUIRED KORVANE_STATUS(BFFA0044)
#endif
#ifndef IVI_ERROR_MISSING_OPTION_NAME
#define IVI_ERROR_MISSING_OPTION_NAME KORVANE_STATUS(BFFA0049)
#endif
#ifndef IVI_ERROR_MISSING_OPTION_VALUE
#define IVI_ERROR_MISSING_OPTION_VALUE KORVANE_STATUS(BFFA004A)
#endif
#ifndef IVI_ERROR_BAD_OPTION_NAME
#define IVI_ERROR_BAD_OPTION_NAME KORVANE_STATUS(BFFA004B)
#endif
#ifndef IVI_ERROR_BAD_OPTION_VALUE
#define IVI_ERROR_BAD_OPTION_VALUE KORVANE_STATUS(BFFA004C)
#endif
#ifndef IVI_ERROR_OUT_OF_MEMORY
#define IVI_ERROR_OUT_OF_MEMORY KORVANE_STATUS(BFFA0056)
#endif
#ifndef IVI_ERROR_OPERATION_PENDING
#define IVI_ERROR_OPERATION_PENDING KORVANE_STATUS(BFFA0057)
#endif
#ifndef IVI_ERROR_NULL_POINTER
#define IVI_ERROR_NULL_POINTER KORVANE_STATUS(BFFA0058)
#endif
#ifndef IVI_ERROR_UNEXPECTED_RESPONSE
#define IVI_ERROR_UNEXPECTED_RESPONSE KORVANE_STATUS(BFFA0059)
#endif
#ifndef IVI_ERROR_FILE_NOT_FOUND
#define IVI_ERROR_FILE_NOT_FOUND KORVANE_STATUS(BFFA005B)
#endif
#ifndef IVI_ERROR_INVALID_FILE_FORMAT
#define IVI_ERROR_INVALID_FILE_FORMAT KORVANE_STATUS(BFFA005C)
#endif
#ifndef IVI_ERROR_STATUS_NOT_AVAILABLE
#define IVI_ERROR_STATUS_NOT_AVAILABLE KORVANE_STATUS(BFFA005D)
#endif
#ifndef IVI_ERROR_ID_QUERY_FAILED
#define IVI_ERROR_ID_QUERY_FAILED KORVANE_STATUS(BFFA005E)
#endif
#ifndef IVI_ERROR_RESET_FAILED
#define IVI_ERROR_RESET_FAILED KORVANE_STATUS(BFFA005F)
#endif
#ifndef IVI_ERROR_RESOURCE_UNKNOWN
#define IVI_ERROR_RESOURCE_UNKNOWN KORVANE_STATUS(BFFA0060)
#endif
#ifndef IVI_ERROR_CANNOT_CHANGE_SIMULATION_STATE
#define IVI_ERROR_CANNOT_CHANGE_SIMULATION_STATE KORVANE_STATUS(BFFA0062)
#endif
#ifndef IVI_ERROR_INVALID_NUMBER_OF_LEVELS_IN_SELECTOR
#define IVI_ERROR_INVALID_NUMBER_OF_LEVELS_IN_SELECTOR KORVANE_STATUS(BFFA0063)
#endif
#ifndef IVI_ERROR_INVALID_RANGE_IN_SELECTOR
#define IVI_ERROR_INVALID_RANGE_IN_SELECTOR KORVANE_STATUS(BFFA0064)
#endif
#ifndef IVI_ERROR_UNKNOWN_NAME_IN_SELECTOR
#define IVI_ERROR_UNKNOWN_NAME_IN_SELECTOR KORVANE_STATUS(BFFA0065)
#endif
#ifndef IVI_ERROR_BADLY_FORMED_SELECTOR
#define IVI_ERROR_BADLY_FORMED_SELECTOR KORVANE_STATUS(BFFA0066)
#endif
#ifndef IVI_ERROR_UNKNOWN_PHYSICAL_IDENTIFIER
#define IVI_ERROR_UNKNOWN_PHYSICAL_IDENTIFIER KORVANE_STATUS(BFFA0067)
#endif
#ifndef IVI_ERROR_INVALID_SESSION_HANDLE
#define IVI_ERROR_INVALID_SESSION_HANDLE KORVANE_STATUS(BFFA1190)
#endif

#ifndef IVI_WARN_NSUP_ID_QUERY
#define IVI_WARN_NSUP_ID_QUERY KORVANE_WARNING(3FFA0065)
#endif
#ifndef IVI_WARN_NSUP_RESET
#define IVI_WARN_NSUP_RESET KORVANE_WARNING(3FFA0066)
#endif
#ifndef IVI_WARN_NSUP_SELF_TEST
#define IVI_WARN_NSUP_SELF_TEST KORVANE_WARNING(3FFA0067)
#endif
#ifndef IVI_WARN_NSUP_ERROR_QUERY
#define IVI_WARN_NSUP_ERROR_QUERY KORVANE_WARNING(3FFA0068)
#endif
#ifndef IVI_WARN_NSUP_REV_QUERY
#define IVI_WARN_NSUP_REV_QUERY KORVANE_WARNING(3FFA0069)
#endif

#ifndef IVISCOPE_ERROR_CHANNEL_NOT_ENABLED
#define IVISCOPE_ERROR_CHANNEL_NOT_ENABLED KORVANE_STATUS(BFFA2001)
#endif
#ifndef IVISCOPE_ERROR_UNABLE_TO_PERFORM_MEASUREMENT
#define IVISCOPE_ERROR_UNABLE_TO_PERFORM_MEASUREMENT KORVANE_STATUS(BFFA2002)
#endif
#ifndef IVISCOPE_ERROR_MAX_TIME_EXCEEDED
#define IVISCOPE_ERROR_MAX_TIME_EXCEEDED KORVANE_STATUS(BFFA2003)
#endif
#ifndef IVISCOPE_ERROR_INVALID_ACQ_TYPE
#define IVISCOPE_ERROR_INVALID_ACQ_TYPE KORVANE_STATUS(BFFA2004)
#endif
#ifndef IVISCOPE_WARN_INVALID_WFM_ELEMENT
#define IVISCOPE_WARN_INVALID_WFM_ELEMENT KORVANE_WARNING(3FFA2001)
#endif

/* The driver's own errors. */
#define KORVANE_ERROR_INVALID_PARAMETER_VALUE KORVANE_STATUS(BFFA40DC)
#define KORVANE_ERROR_INVALID_MEASUREMENT_SOURCE KORVANE_STATUS(BFFA420E)
#define KORVANE_ERROR_PERSONALITY_NOT_ACTIVE KORVANE_STATUS(BFFA4211)
#define KORVANE_ERROR_PERSONALITY_NOT_INSTALLED KORVANE_STATUS(BFFA4212)
#define KORVANE_ERROR_IO KORVANE_STATUS(BFFA4214)
#define KORVANE_ERROR_IO_TIMEOUT KORVANE_STATUS(BFFA4215)
#define KORVANE_ERROR_MODEL_NOT_SUPPORTED KORVANE_STATUS(BFFA4216)
#define KORVANE_ERROR_SETTINGS_CONFLICT KORVANE_STATUS(BFFA4217)
#define KORVANE_ERROR_OPTION_NOT_PRESENT KORVANE_STATUS(BFFA4218)
#define KORVANE_ERROR_BAD_PATTERN KORVANE_STATUS(BFFA421C)
#define KORVANE_ERROR_NO_DATA KORVANE_STATUS(BFFA421E)

/* Any failure that has no IVI code of its own. */
#define KORVANE_ERROR_UNMAPPED ((ViStatus)_VI_ERROR)

/* ---- Functions ----
 * KORVANE_STATIC: linking the driver's objects directly, without the shared library. Korvane.dll
 * names its exports in its module-definition file, so the library itself marks nothing. */
#if defined(KORVANE_STATIC) || (defined(_WIN32) && defined(KORVANE_BUILDING_LIBRARY))
#define KORVANE_API
#elif defined(_WIN32)
#define KORVANE_API __declspec(dllimport)
#elif defined(__GNUC__)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Session lifecycle. On failure *newVi is 0 and the description is readable with handle 0. */
KORVANE_API ViStatus _VI_FUNC Korvane_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset, ViSession* newVi);
KORVANE_API ViStatus _VI_FUNC Korvane_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                                      ViConstString optionString, ViSession* newVi);
KORVANE_API ViStatus _VI_FUNC Korvane_close(ViSession vi);

/* Errors: the last error of the calling thread on the session (handle 0: the thread's own). */
KORVANE_API ViStatus _VI_FUNC Korvane_GetError(ViSession vi, ViStatus* errorCode, ViInt32 bufferSize,
                                               ViChar description[]);
KORVANE_API ViStatus _VI_FUNC Korvane_ClearError(ViSession vi);
KORVANE_API ViStatus _VI_FUNC Korvane_error_message(ViSession vi, ViStatus errorCode, ViChar errorMessage[256]);
KORVANE_API ViStatus _VI_FUNC Korvane_error_query(ViSession vi, ViInt32* errorCode, ViChar errorMessage[256]);

/* Holding the session lock across several calls. */
KORVANE_API ViStatus _VI_FUNC Korvane_LockSession(ViSession vi, ViBoolean* callerHasLock);
KORVANE_API ViStatus _VI_FUNC Korvane_UnlockSession(ViSession vi, ViBoolean* callerHasLock);

/* Utility and operation functions of every session. */
KORVANE_API ViStatus _VI_FUNC Korvane_reset(ViSession vi);
KORVANE_API ViStatus _VI_FUNC Korvane_ResetWithDefaults(ViSession vi);
KORVANE_API ViStatus _VI_FUNC Korvane_Disable(ViSession vi);
KORVANE_API ViStatus _VI_FUNC Korvane_self_test(ViSession vi, ViInt16* testResult, ViChar testMessage[256]);
KORVANE_API ViStatus _VI_FUNC Korvane_revision_query(ViSession vi, ViChar driverRev[256], ViChar instrRev[256]);
KORVANE_API ViStatus _VI_FUNC Korvane_GetNextCoercionRecord(ViSession vi, ViInt32 bufferSize, ViChar record[]);
KORVANE_API ViStatus _VI_FUNC Korvane_InvalidateAllAttributes(ViSession vi);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_H */
