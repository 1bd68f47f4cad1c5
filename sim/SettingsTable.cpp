// Stored settings. Each row is what the instrument keeps for one property: its header,
// type, power-on default and accepted values. Queries answer the stored canonical form.
#include "Settings.h"

namespace korvane::sim {

namespace {

using T = SettingType;
constexpr double kBig = 1e9;

// One row per line reads as a table; the formatter would spread the longer rows over seven.
// clang-format off
constexpr SettingRow kRows[] = {
    // Acquisition
    {.pattern = ":ACQuire:TYPE", .type = T::Enum, .defaults = "NORM", .tokens = "NORMal|PEAK|HRESolution|AVERage"},
    {.pattern = ":ACQuire:COUNt", .type = T::Int, .defaults = "8", .min = 2, .max = 65536},
    {.pattern = ":ACQuire:MODE", .type = T::Enum, .defaults = "RTIM", .tokens = "RTIMe|SEGMented|ETIMe|MRTime"},
    {.pattern = ":ACQuire:RSIGnal", .type = T::Enum, .defaults = "OFF", .tokens = "IN|OUT|OFF"},
    {.pattern = ":ACQuire:SEGMented:COUNt", .type = T::Int, .defaults = "2", .min = 2, .max = 1000},
    {.pattern = ":ACQuire:SEGMented:INDex", .type = T::Int, .defaults = "1", .min = 1, .max = 1000},
    {.pattern = ":SAVE:WAVeform:SEGMented", .type = T::Enum, .defaults = "CURR", .tokens = "ALL|CURRent"},
    {.pattern = ":DISPlay:VECTors", .type = T::Bool, .defaults = "1"},

    // Timebase
    {.pattern = ":TIMebase:MODE", .type = T::Enum, .defaults = "MAIN", .tokens = "MAIN|WINDow|XY|ROLL"},
    {.pattern = ":TIMebase:REFerence", .type = T::Enum, .defaults = "CENT", .tokens = "LEFT|CENTer|RIGHt"},
    {.pattern = ":TIMebase:SCALe", .type = T::Real, .defaults = "5e-4", .min = 1e-9, .max = 50},
    {.pattern = ":TIMebase:RANGe", .type = T::Real, .defaults = "5e-3", .min = 1e-8, .max = 500,
     .coupledTo = ":TIMebase:SCALe", .factor = 10},
    {.pattern = ":TIMebase:POSition", .type = T::Real, .defaults = "0", .min = -500, .max = 500},
    {.pattern = ":TIMebase:VERNier", .type = T::Bool, .defaults = "0"},
    {.pattern = ":TIMebase:WINDow:POSition", .type = T::Real, .defaults = "0", .min = -500, .max = 500},
    {.pattern = ":TIMebase:WINDow:SCALe", .type = T::Real, .defaults = "5e-5", .min = 1e-9, .max = 50},
    {.pattern = ":TIMebase:WINDow:RANGe", .type = T::Real, .defaults = "5e-4", .min = 1e-8, .max = 500,
     .coupledTo = ":TIMebase:WINDow:SCALe", .factor = 10},

    // Analog channels
    {.pattern = ":CHANnel#:DISPlay", .type = T::Bool, .defaults = "1", .instances = kPerChannel},
    {.pattern = ":CHANnel#:COUPling", .type = T::Enum, .defaults = "DC", .tokens = "AC|DC", .instances = kPerChannel},
    {.pattern = ":CHANnel#:SCALe", .type = T::Real, .defaults = "0.2", .min = 1e-3, .max = 5, .instances = kPerChannel},
    {.pattern = ":CHANnel#:RANGe", .type = T::Real, .defaults = "1.6", .min = 8e-3, .max = 40, .instances = kPerChannel,
     .coupledTo = ":CHANnel#:SCALe", .factor = 8},
    {.pattern = ":CHANnel#:OFFSet", .type = T::Real, .defaults = "0", .min = -40, .max = 40, .instances = kPerChannel},
    {.pattern = ":CHANnel#:PROBe", .type = T::Real, .defaults = "1", .min = 0.1, .max = 10000, .instances = kPerChannel},
    {.pattern = ":CHANnel#:PROBe:SKEW", .type = T::Real, .defaults = "0", .min = -1e-7, .max = 1e-7, .instances = kPerChannel},
    {.pattern = ":CHANnel#:PROBe:ID", .type = T::String, .defaults = "No probe", .instances = kPerChannel, .flags = kReadOnly},
    {.pattern = ":CHANnel#:IMPedance", .type = T::Real, .defaults = "1e6", .min = 50, .max = 1e6, .instances = kPerChannel},
    {.pattern = ":CHANnel#:BWLimit", .type = T::Bool, .defaults = "0", .instances = kPerChannel},
    {.pattern = ":CHANnel#:INVert", .type = T::Bool, .defaults = "0", .instances = kPerChannel},
    {.pattern = ":CHANnel#:LABel", .type = T::String, .defaults = "", .max = 32, .instances = kPerChannel},
    {.pattern = ":CHANnel#:UNITs", .type = T::Enum, .defaults = "VOLT", .tokens = "VOLT|AMPere", .instances = kPerChannel},
    {.pattern = ":CHANnel#:PROTection", .type = T::Enum, .defaults = "NORM", .tokens = "NORMal|TRIPped",
     .instances = kPerChannel, .flags = kReadOnly},

    // Trigger
    {.pattern = ":TRIGger:MODE", .type = T::Enum, .defaults = "EDGE",
     .tokens = "EDGE|GLITch|PATTern|TV|DELay|EBURst|OR|RUNT|SHOLd|TRANsition|SBUS1|SBUS2|USB|NONE|ACLine"},
    {.pattern = ":TRIGger[:EDGE]:SOURce", .type = T::Enum, .defaults = "CHAN1",
     .tokens = "{CHAN}|{DIG}|EXTernal|LINE|WGEN|WGEN2|WMOD"},
    {.pattern = ":TRIGger[:EDGE]:LEVel", .type = T::Real, .defaults = "0", .min = -100, .max = 100},
    {.pattern = ":TRIGger[:EDGE]:SLOPe", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative|EITHer|ALTernate"},
    {.pattern = ":TRIGger[:EDGE]:COUPling", .type = T::Enum, .defaults = "DC", .tokens = "AC|DC|LFReject"},
    {.pattern = ":TRIGger[:EDGE]:REJect", .type = T::Enum, .defaults = "OFF", .tokens = "OFF|LFReject|HFReject"},
    {.pattern = ":TRIGger:SWEep", .type = T::Enum, .defaults = "AUTO", .tokens = "AUTO|NORMal"},
    {.pattern = ":TRIGger:HOLDoff", .type = T::Real, .defaults = "4e-8", .min = 4e-8, .max = 10},
    {.pattern = ":TRIGger:NREJect", .type = T::Bool, .defaults = "0"},
    {.pattern = ":TRIGger:HFReject", .type = T::Bool, .defaults = "0"},
    {.pattern = ":TRIGger:GLITch:QUALifier", .type = T::Enum, .defaults = "LESS", .tokens = "GREaterthan|LESSthan|RANGe"},
    {.pattern = ":TRIGger:GLITch:POLarity", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative|EITHer"},
    {.pattern = ":TRIGger:GLITch:LEVel", .type = T::Real, .defaults = "0", .min = -100, .max = 100},
    {.pattern = ":TRIGger:GLITch:LESSthan", .type = T::Real, .defaults = "2e-9", .min = 2e-9, .max = 10},
    {.pattern = ":TRIGger:GLITch:GREaterthan", .type = T::Real, .defaults = "2e-9", .min = 2e-9, .max = 10},
    {.pattern = ":TRIGger:GLITch:RANGe", .type = T::Real, .defaults = "2e-9,1e-8", .min = 2e-9, .max = 10, .arity = 2},
    // The pattern string: digital channels, highest first, then analog channels 1..n.
    {.pattern = ":TRIGger:PATTern", .type = T::String, .defaults = "", .max = 24},
    {.pattern = ":TRIGger:PATTern:RANGe", .type = T::Real, .defaults = "2e-9,1e-8", .min = 2e-9, .max = 10, .arity = 2},
    {.pattern = ":TRIGger:RUNT:SOURce", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}"},
    {.pattern = ":TRIGger:TRANsition:SOURce", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}"},
    {.pattern = ":TRIGger:EBURst:SOURce", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}|{DIG}"},
    {.pattern = ":TRIGger:TV:SOURce", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}"},
    {.pattern = ":TRIGger:ZONE#:STATe", .type = T::Bool, .defaults = "0", .instances = 2},
    {.pattern = ":TRIGger:ZONE#:MODE", .type = T::Enum, .defaults = "INT", .tokens = "INTersect|NOTintersect", .instances = 2},
    {.pattern = ":TRIGger:ZONE#:PLACement", .type = T::Real, .defaults = "1e-3,1,0,0", .min = -kBig, .max = kBig,
     .instances = 2, .arity = 4},
    {.pattern = ":TRIGger:ZONE#:VALidity", .type = T::Enum, .defaults = "INS", .tokens = "INSide|OUTSide",
     .instances = 2, .flags = kReadOnly},
    {.pattern = ":TRIGger:PATTern:QUALifier", .type = T::Enum, .defaults = "ENT",
     .tokens = "ENTered|EXITed|GREaterthan|LESSthan|INRange|OUTRange|TIMeout"},
    {.pattern = ":TRIGger:TV:MODE", .type = T::Enum, .defaults = "ALIN",
     .tokens = "FIEld1|FIEld2|AFIelds|ALINes|LINE|LFIeld1|LFIeld2|LALTernate"},
    {.pattern = ":TRIGger:TV:LINE", .type = T::Int, .defaults = "1", .min = 1, .max = 1250},
    {.pattern = ":TRIGger:TV:POLarity", .type = T::Enum, .defaults = "NEG", .tokens = "POSitive|NEGative"},
    {.pattern = ":TRIGger:TV:STANdard", .type = T::Enum, .defaults = "NTSC",
     .tokens = "NTSC|PAL|PALM|SECam|GENeric|P480L60HZ|P720L60HZ|P1080L24HZ|P1080L25HZ|P1080L50HZ|P1080L60HZ|"
               "I1080L50HZ|I1080L60HZ"},
    {.pattern = ":TRIGger:TV:UDTV:ENUMber", .type = T::Int, .defaults = "1", .min = 1, .max = 10000},
    {.pattern = ":TRIGger:TV:UDTV:HSYNc", .type = T::Bool, .defaults = "0"},
    {.pattern = ":TRIGger:TV:UDTV:HTIMe", .type = T::Real, .defaults = "1e-7", .min = 1e-7, .max = 1e-2},
    {.pattern = ":TRIGger:TV:UDTV:PGTHan", .type = T::Real, .defaults = "1e-7", .min = 1e-8, .max = 1e-2},
    {.pattern = ":TRIGger:EBURst:COUNt", .type = T::Int, .defaults = "1", .min = 1, .max = 65535},
    {.pattern = ":TRIGger:EBURst:IDLE", .type = T::Real, .defaults = "1e-8", .min = 1e-8, .max = 10},
    {.pattern = ":TRIGger:EBURst:SLOPe", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative"},
    {.pattern = ":TRIGger:SHOLd:SLOPe", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative"},
    {.pattern = ":TRIGger:SHOLd:TIME:HOLD", .type = T::Real, .defaults = "1e-9", .min = 1e-9, .max = 10},
    {.pattern = ":TRIGger:SHOLd:TIME:SETup", .type = T::Real, .defaults = "1e-9", .min = 1e-9, .max = 10},
    {.pattern = ":TRIGger:SHOLd:SOURce:CLOCk", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}|{DIG}"},
    {.pattern = ":TRIGger:SHOLd:SOURce:DATA", .type = T::Enum, .defaults = "CHAN2", .tokens = "{CHAN}|{DIG}"},
    {.pattern = ":TRIGger:TRANsition:QUALifier", .type = T::Enum, .defaults = "GRE", .tokens = "GREaterthan|LESSthan"},
    {.pattern = ":TRIGger:TRANsition:SLOPe", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative"},
    {.pattern = ":TRIGger:TRANsition:TIME", .type = T::Real, .defaults = "1e-9", .min = 1e-9, .max = 10},
    {.pattern = ":TRIGger:USB:SOURce:DPLus", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}|{DIG}"},
    {.pattern = ":TRIGger:USB:SOURce:DMINus", .type = T::Enum, .defaults = "CHAN2", .tokens = "{CHAN}|{DIG}"},
    {.pattern = ":TRIGger:USB:SPEed", .type = T::Enum, .defaults = "FULL", .tokens = "LOW|FULL"},
    {.pattern = ":TRIGger:USB:TRIGger", .type = T::Enum, .defaults = "SOP", .tokens = "SOP|EOP|SOF|RESet|SUSPend|EXITsuspend"},
    {.pattern = ":TRIGger:OR", .type = T::String, .defaults = "XXXX", .max = 64},
    {.pattern = ":TRIGger:DELay:ARM:SLOPe", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative"},
    {.pattern = ":TRIGger:DELay:ARM:SOURce", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}|{DIG}"},
    {.pattern = ":TRIGger:DELay:TDELay:TIME", .type = T::Real, .defaults = "4e-9", .min = 4e-9, .max = 10},
    {.pattern = ":TRIGger:DELay:TRIGger:SLOPe", .type = T::Enum, .defaults = "POS", .tokens = "POSitive|NEGative"},
    {.pattern = ":TRIGger:DELay:TRIGger:COUNt", .type = T::Int, .defaults = "1", .min = 1, .max = 65535},

    // Waveform transfer
    {.pattern = ":WAVeform:SOURce", .type = T::Enum, .defaults = "CHAN1",
     .tokens = "{CHAN}|{DIG}|{POD}|FUNCtion|MATH|WMEMory1|WMEMory2|WMEMory3|WMEMory4|BUS1|BUS2|SBUS1|SBUS2"},
    {.pattern = ":WAVeform:FORMat", .type = T::Enum, .defaults = "BYTE", .tokens = "WORD|BYTE|ASCii"},
    {.pattern = ":WAVeform:UNSigned", .type = T::Bool, .defaults = "1"},
    {.pattern = ":WAVeform:BYTeorder", .type = T::Enum, .defaults = "MSBF", .tokens = "MSBFirst|LSBFirst"},
    {.pattern = ":WAVeform:POINts", .type = T::Int, .defaults = "1000", .min = 2, .max = 8000000},
    {.pattern = ":WAVeform:POINts:MODE", .type = T::Enum, .defaults = "NORM", .tokens = "NORMal|MAXimum|RAW"},
    {.pattern = ":WAVeform:VIEW", .type = T::Enum, .defaults = "MAIN", .tokens = "MAIN|ALL"},
    {.pattern = ":WAVeform:SOURce:SUBSource", .type = T::Enum, .defaults = "SUB0", .tokens = "SUB0|SUB1"},
    {.pattern = ":WAVeform:SEGMented:TTAG", .type = T::Real, .defaults = "0", .flags = kReadOnly},

    // Serial decode: the UART lines are channels, as the driver's source-name conversion writes them
    {.pattern = ":SBUS#:UART:SOURce:RX", .type = T::Enum, .defaults = "CHAN1", .tokens = "{CHAN}|{DIG}", .instances = 2},
    {.pattern = ":SBUS#:UART:SOURce:TX", .type = T::Enum, .defaults = "CHAN2", .tokens = "{CHAN}|{DIG}", .instances = 2},

    // Measurements
    {.pattern = ":MEASure:SHOW", .type = T::Bool, .defaults = "1"},
    {.pattern = ":MEASure:WINDow", .type = T::Enum, .defaults = "AUTO", .tokens = "AUTO|MAIN|ZOOM|GATE"},
    {.pattern = ":MEASure:STATistics", .type = T::Enum, .defaults = "ON",
     .tokens = "ON|CURRent|MEAN|MINimum|MAXimum|STDDev|COUNt"},
    {.pattern = ":MEASure:STATistics:MCOunt", .type = T::Int, .defaults = "1000", .min = 2, .max = 2000},
    {.pattern = ":MEASure:STATistics:RSDeviation", .type = T::Bool, .defaults = "0"},
    {.pattern = ":MEASure:STATistics:DISPlay", .type = T::Bool, .defaults = "1"},

    // Reference waveforms
    {.pattern = ":WMEMory#:DISPlay", .type = T::Bool, .defaults = "0", .instances = 4},
    {.pattern = ":WMEMory#:LABel", .type = T::String, .defaults = "", .max = 32, .instances = 4},
    {.pattern = ":WMEMory#:SKEW", .type = T::Real, .defaults = "0", .min = -1e-6, .max = 1e-6, .instances = 4},
    {.pattern = ":WMEMory#:YOFFset", .type = T::Real, .defaults = "0", .min = -kBig, .max = kBig, .instances = 4},
    {.pattern = ":WMEMory#:YRANge", .type = T::Real, .defaults = "8", .min = 1e-6, .max = kBig, .instances = 4},
    {.pattern = ":WMEMory#:YSCale", .type = T::Real, .defaults = "1", .min = 1e-6, .max = kBig, .instances = 4},

    // Status enables beyond the 488.2 ones
    {.pattern = ":OPEE", .type = T::Int, .defaults = "0", .min = 0, .max = 65535},
    {.pattern = ":OVLenable", .type = T::Int, .defaults = "0", .min = 0, .max = 65535},
    {.pattern = ":MTEenable", .type = T::Int, .defaults = "0", .min = 0, .max = 65535},
    // Readings and counters the instrument keeps itself: query only, at rest (nothing counted,
    // calibrated at the factory).
    {.pattern = ":SEARch:COUNt", .type = T::Int, .defaults = "0", .flags = kReadOnly},
    {.pattern = ":SBUS#:CAN:COUNt:ERRor", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:CAN:COUNt:OVERload", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:CAN:COUNt:TOTal", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:CAN:COUNt:UTILization", .type = T::Real, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:CAN:COUNt:SPEC", .type = T::Real, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:UART:COUNt:ERRor", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:UART:COUNt:RXFRames", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:UART:COUNt:TXFRames", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:A429:COUNt:ERRor", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:A429:COUNt:WORD", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:FLEXray:COUNt:ERRor", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:FLEXray:COUNt:NULL", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:FLEXray:COUNt:SYNC", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":SBUS#:FLEXray:COUNt:TOTal", .type = T::Int, .defaults = "0", .instances = 2, .flags = kReadOnly},
    {.pattern = ":COUNter:CURRent", .type = T::Real, .defaults = "0", .flags = kReadOnly},
    {.pattern = ":DVM:CURRent", .type = T::Real, .defaults = "0", .flags = kReadOnly},
    {.pattern = ":DVM:FREQuency", .type = T::Real, .defaults = "0", .flags = kReadOnly},
    {.pattern = ":CALibration:DATE", .type = T::Text, .defaults = "2026,1,15", .flags = kReadOnly},
    {.pattern = ":CALibration:TIME", .type = T::Text, .defaults = "10,30,0", .flags = kReadOnly},
    {.pattern = ":CALibration:TEMPerature", .type = T::Real, .defaults = "23.5", .flags = kReadOnly},
    {.pattern = ":CALibration:SWITch", .type = T::Enum, .defaults = "PROT", .tokens = "PROTected|UNPRotected",
     .flags = kReadOnly},
    {.pattern = ":MTESt:TITLe", .type = T::Text, .defaults = "No mask", .flags = kReadOnly},
    {.pattern = ":MTESt:COUNt:TIME", .type = T::Real, .defaults = "0", .flags = kReadOnly},
    {.pattern = ":MTESt:COUNt:WAVeforms", .type = T::Int, .defaults = "0", .flags = kReadOnly},
    {.pattern = ":MTESt:COUNt:FWAVeforms", .type = T::Int, .defaults = "0", .flags = kReadOnly},

    // Simulator controls: the signal each channel sees, and fault switches.
    {.pattern = ":SIMulator:SIGNal#:SHAPe", .type = T::Enum, .defaults = "SIN;SQU;TRI;SIN",
     .tokens = "SINusoid|SQUare|TRIangle|NOISe|DC", .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:SIGNal#:FREQuency", .type = T::Real, .defaults = "1e3;1e3;2e3;1e4", .min = 1e-3,
     .max = 1e10, .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:SIGNal#:AMPLitude", .type = T::Real, .defaults = "0.5;0.5;0.4;0.2", .min = 0, .max = 100,
     .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:SIGNal#:OFFSet", .type = T::Real, .defaults = "0", .min = -100, .max = 100,
     .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:SIGNal#:DUTY", .type = T::Real, .defaults = "50", .min = 0.1, .max = 99.9,
     .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:SIGNal#:PHASe", .type = T::Real, .defaults = "0", .min = -360, .max = 360,
     .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:SIGNal#:NOISe", .type = T::Real, .defaults = "0", .min = 0, .max = 100,
     .instances = kPerChannel, .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:DELay", .type = T::Real, .defaults = "0", .min = 0, .max = 60, .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:DROP", .type = T::Int, .defaults = "0", .min = -1, .max = 1e6, .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:HEADer", .type = T::Int, .defaults = "0", .min = -1, .max = 1e6, .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:HEADer:MODE", .type = T::Enum, .defaults = "CHAR", .tokens = "CHARacter|LENGth|OVERsize|INDefinite|LFEed", .flags = kPersistent},
    // Reply faults: what the next COUNt replies suffer (-1: every reply).
    {.pattern = ":SIMulator:FAULt:REPLy", .type = T::Enum, .defaults = "NONE",
     .tokens = "NONE|STALl|SPLit|DRIP|FLOod|CLOSe|TEXT|NAN|INFinity", .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:REPLy:COUNt", .type = T::Int, .defaults = "1", .min = -1, .max = 1e6,
     .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:STALl", .type = T::Real, .defaults = "5", .min = 0, .max = 600, .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:DRIP", .type = T::Real, .defaults = "0.05", .min = 0, .max = 10, .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:FLOod", .type = T::Real, .defaults = "150e6", .min = 1, .max = 1e11,
     .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:ERRor:FLOod", .type = T::Int, .defaults = "0", .min = 0, .max = 1e9,
     .flags = kPersistent},
    {.pattern = ":SIMulator:FAULt:MUTE", .type = T::Bool, .defaults = "0", .flags = kPersistent},
    {.pattern = ":SIMulator:ACQuire:TIME", .type = T::Real, .defaults = "0", .min = 0, .max = 60, .flags = kPersistent},
    // How long :DIG, :SING and :FRAN:RUN run while the instrument keeps answering (seconds).
    {.pattern = ":SIMulator:OPERation:TIME", .type = T::Real, .defaults = "0", .min = 0, .max = 60, .flags = kPersistent},
};
// clang-format on

// One generated row: header, type, default, tokens, instances, flags (no range: the catalogue
// gives none).
constexpr SettingRow G(const char* pattern, SettingType type, const char* defaults, const char* tokens = "",
                       int instances = 0, unsigned flags = 0) {
  return {.pattern = pattern,
          .type = type,
          .defaults = defaults,
          .tokens = tokens,
          .instances = instances,
          .flags = flags};
}

#include <korvane/SimSettings.inc>

}  // namespace

std::span<const SettingRow> settingsTable() { return kRows; }
std::span<const SettingRow> generatedSettingsTable() { return kGeneratedRows; }

}  // namespace korvane::sim
