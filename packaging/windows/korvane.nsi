; The Windows installer of the 64-bit driver, built on Linux by makensis (Installer.cmake passes
; VERSION, STAGE, SOURCE and OUTFILE). It installs into the IVI directory layout, registers the
; COM server through the DLL's own DllRegisterServer (so the same rules apply as with regsvr32:
; the IVI type libraries are registered only where no other component has), adds the driver's
; entries to the IVI configuration store's master file, and lists an uninstaller in Programs and
; Features. /S installs and uninstalls without a window. What it did goes to a log:
; Drivers\Korvane\install.log, and %TEMP%\Korvane-uninstall.log for the uninstaller.
Unicode true
Target amd64-unicode
RequestExecutionLevel admin
ManifestSupportedOS all
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include FileFunc.nsh
!include TextFunc.nsh
!include "${STAGE}/files.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Korvane"
!define IVI_KEY "SOFTWARE\IVI Foundation\IVI"

Name "Korvane ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\IVI Foundation\IVI"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "Korvane"
VIAddVersionKey FileDescription "Korvane IVI oscilloscope driver setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey LegalCopyright "the Korvane developers"

Page instfiles
UninstPage instfiles

Var Log
Var Store

; Appends a line to the log and to the details window.
!macro Log text
  DetailPrint "${text}"
  ${If} $Log != ""
    FileWrite $Log "${text}$\r$\n"
  ${EndIf}
!macroend

; Stops with a message (a box, unless silent) and exit code 2.
!macro Refuse text
  !insertmacro Log "refused: ${text}"
  ${If} $Log != ""
    FileClose $Log
  ${EndIf}
  ${IfNot} ${FileExists} "$INSTDIR\Drivers\Korvane\Uninstall.exe"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"  ; nothing installed yet: no entry in Programs and Features
  ${EndIf}
  MessageBox MB_OK|MB_ICONSTOP "Korvane cannot be installed: ${text}" /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

; Creates a directory of the layout, remembering whether it was ours, and checks that a file can
; be written in it.
!macro Prepare dir flag
  ${IfNot} ${FileExists} "${dir}\*.*"
    ClearErrors
    CreateDirectory "${dir}"
    ${If} ${Errors}
      !insertmacro Refuse "the folder ${dir} cannot be created"
    ${EndIf}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Created.${flag}" 1
  ${EndIf}
  ClearErrors
  FileOpen $0 "${dir}\korvane-write-test.tmp" w
  ${If} ${Errors}
    !insertmacro Refuse "the folder ${dir} is not writable"
  ${EndIf}
  FileClose $0
  Delete "${dir}\korvane-write-test.tmp"
!macroend

Function .onInit
  SetShellVarContext all
  SetRegView 64
  ; The IVI root the IVI shared components recorded, else the standard one.
  ReadRegStr $0 HKLM "${IVI_KEY}" "IviStandardRootDir64"
  ${If} $0 == ""
    ReadRegStr $0 HKLM "${IVI_KEY}" "IviStandardRootDir"
  ${EndIf}
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Section "Korvane"
  ; The configuration server's master file, where the driver reads it.
  StrCpy $Store "$APPDATA\IVI Foundation\IVI\Data\IviConfigurationStore.xml"
  ClearErrors
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Korvane IVI oscilloscope driver ${VERSION}"
  ${If} ${Errors}
    !insertmacro Refuse "the registry key HKLM\${UNINSTALL_KEY} cannot be written (run as administrator)"
  ${EndIf}
  ${GetParent} "$INSTDIR" $R0
  !insertmacro Prepare "$R0" RootParent
  !insertmacro Prepare "$INSTDIR" Root
  !insertmacro Prepare "$INSTDIR\Drivers" Drivers
  !insertmacro Prepare "$INSTDIR\Drivers\Korvane" Driver
  FileOpen $Log "$INSTDIR\Drivers\Korvane\install.log" w
  !insertmacro Log "Korvane ${VERSION}: installing into the IVI root $INSTDIR"
  !insertmacro Prepare "$INSTDIR\Bin" Bin
  !insertmacro Prepare "$INSTDIR\Include" Include
  !insertmacro Prepare "$INSTDIR\Lib_x64" Lib
  !insertmacro Prepare "$INSTDIR\Lib_x64\msc" Msc
  !insertmacro Prepare "$APPDATA\IVI Foundation" DataParent
  !insertmacro Prepare "$APPDATA\IVI Foundation\IVI" DataIvi
  !insertmacro Prepare "$APPDATA\IVI Foundation\IVI\Data" Data
  ${IfNot} ${FileExists} "$Store"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Created.Store" 1
  ${EndIf}

  ClearErrors
  SetOutPath "$INSTDIR\Bin"
  File "${STAGE}/bin/Korvane.dll"
  File "${STAGE}/bin/korvane.exe"
  SetOutPath "$INSTDIR\Lib_x64\msc"
  File "${STAGE}/lib/Korvane.lib"
  SetOutPath "$INSTDIR\Include"
  !insertmacro KorvaneInstallHeaders "$INSTDIR\Include"
  SetOutPath "$INSTDIR\Drivers\Korvane"
  File "${SOURCE}/README.md"
  File "${SOURCE}/share/korvane/trace.xslt"
  File "${STAGE}/bin/korvane-store-entries.exe"
  SetOutPath "$INSTDIR\Drivers\Korvane\Examples"
  File "${SOURCE}/tests/com/scripts/demo.vbs"
  File "${SOURCE}/tests/com/scripts/demo.js"
  ${If} ${Errors}
    !insertmacro Refuse "files could not be written under $INSTDIR"
  ${EndIf}
  !insertmacro Log "files copied: Bin, Include, Lib_x64\msc, Drivers\Korvane"
  WriteUninstaller "$INSTDIR\Drivers\Korvane\Uninstall.exe"

  ClearErrors
  RegDLL "$INSTDIR\Bin\Korvane.dll"
  ${If} ${Errors}
    !insertmacro Log "DllRegisterServer of $INSTDIR\Bin\Korvane.dll failed"
    Delete "$INSTDIR\Bin\Korvane.dll"
    !insertmacro Refuse "the COM server could not be registered"
  ${EndIf}
  !insertmacro Log "registered the COM server and its type library (DllRegisterServer)"

  nsExec::ExecToStack '"$INSTDIR\Drivers\Korvane\korvane-store-entries.exe" add "$Store"'
  Pop $0
  Pop $1
  ${TrimNewLines} "$1" $1
  !insertmacro Log "configuration store: $1"
  ${If} $0 != 0
    !insertmacro Log "the configuration store was not changed (exit code $0)"
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Korvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "ConfigurationStore" "$Store"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Drivers\Korvane\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Drivers\Korvane\Uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Bin\Korvane.dll"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  !insertmacro Log "listed in Programs and Features; done"
  FileClose $Log
SectionEnd

; Removes a directory of the layout only when this installer created it and it is empty now.
!macro UnRemoveCreated dir flag
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "Created.${flag}"
  ${If} $0 == 1
    RMDir "${dir}"
  ${EndIf}
!macroend

Function un.onInit
  SetShellVarContext all
  SetRegView 64
FunctionEnd

Section "Uninstall"
  FileOpen $Log "$TEMP\Korvane-uninstall.log" w
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${Else}
    ; Run from Drivers\Korvane without the key: the root is two levels up.
    GetFullPathName $INSTDIR "$INSTDIR\..\.."
  ${EndIf}
  ReadRegStr $Store HKLM "${UNINSTALL_KEY}" "ConfigurationStore"
  !insertmacro Log "Korvane ${VERSION}: uninstalling from the IVI root $INSTDIR"

  ${If} $Store != ""
    ; A store this installer created goes when nothing but our entries was ever in it.
    ReadRegDWORD $2 HKLM "${UNINSTALL_KEY}" "Created.Store"
    ${If} $2 == 1
      StrCpy $2 " --created"
    ${Else}
      StrCpy $2 ""
    ${EndIf}
    nsExec::ExecToStack '"$INSTDIR\Drivers\Korvane\korvane-store-entries.exe" remove "$Store"$2'
    Pop $0
    Pop $1
    ${TrimNewLines} "$1" $1
    !insertmacro Log "configuration store: $1"
  ${EndIf}

  ClearErrors
  UnRegDLL "$INSTDIR\Bin\Korvane.dll"
  ${If} ${Errors}
    !insertmacro Log "DllUnregisterServer failed; the registration may remain"
  ${Else}
    !insertmacro Log "unregistered the COM server (DllUnregisterServer)"
  ${EndIf}

  Delete "$INSTDIR\Bin\Korvane.dll"
  Delete "$INSTDIR\Bin\korvane.exe"
  Delete "$INSTDIR\Lib_x64\msc\Korvane.lib"
  !insertmacro KorvaneRemoveHeaders "$INSTDIR\Include"
  Delete "$INSTDIR\Drivers\Korvane\Examples\demo.vbs"
  Delete "$INSTDIR\Drivers\Korvane\Examples\demo.js"
  RMDir "$INSTDIR\Drivers\Korvane\Examples"
  Delete "$INSTDIR\Drivers\Korvane\README.md"
  Delete "$INSTDIR\Drivers\Korvane\trace.xslt"
  Delete "$INSTDIR\Drivers\Korvane\korvane-store-entries.exe"
  Delete "$INSTDIR\Drivers\Korvane\install.log"
  Delete "$INSTDIR\Drivers\Korvane\Uninstall.exe"
  RMDir "$INSTDIR\Drivers\Korvane"
  !insertmacro UnRemoveCreated "$INSTDIR\Lib_x64\msc" Msc
  !insertmacro UnRemoveCreated "$INSTDIR\Lib_x64" Lib
  !insertmacro UnRemoveCreated "$INSTDIR\Include" Include
  !insertmacro UnRemoveCreated "$INSTDIR\Bin" Bin
  !insertmacro UnRemoveCreated "$INSTDIR\Drivers" Drivers
  !insertmacro UnRemoveCreated "$APPDATA\IVI Foundation\IVI\Data" Data
  !insertmacro UnRemoveCreated "$APPDATA\IVI Foundation\IVI" DataIvi
  !insertmacro UnRemoveCreated "$APPDATA\IVI Foundation" DataParent
  !insertmacro UnRemoveCreated "$INSTDIR" Root
  ${GetParent} "$INSTDIR" $R0
  !insertmacro UnRemoveCreated "$R0" RootParent
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  !insertmacro Log "removed the files and the Programs and Features entry; done"
  FileClose $Log
SectionEnd
