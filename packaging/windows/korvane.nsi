; The Windows installer of the 64-bit driver, and of the 32-bit one where the 32-bit build staged
; it, built on Linux by makensis (Installer.cmake passes VERSION, STAGE, X86STAGE, SOURCE and
; OUTFILE). It installs into the IVI directory layout, registers the
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

; The 32-bit DLL and its import library go to the 32-bit IVI root (Bin, Lib\msc, Include), and
; are registered by the 32-bit regsvr32, since a 64-bit installer cannot load a 32-bit DLL.
!ifndef X86STAGE
  !define X86STAGE ""
!endif
!if /FileExists "${X86STAGE}/bin/Korvane.dll"
  !define WITH_X86
!endif

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
Var Root32    ; the 32-bit IVI root, or empty where the 32-bit driver is not installed
Var StoreFlag ; " --32-bit" for the store editor once the 32-bit driver is in place

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
!ifdef WITH_X86
  ; The 32-bit root the shared components recorded in the 32-bit view, else the standard one.
  SetRegView 32
  ReadRegStr $Root32 HKLM "${IVI_KEY}" "IviStandardRootDir"
  SetRegView 64
  ${If} $Root32 == ""
    StrCpy $Root32 "$PROGRAMFILES32\IVI Foundation\IVI"
  ${EndIf}
!endif
FunctionEnd

; Removes a directory of the layout only when this installer created it and it is empty now.
!macro UnRemoveCreated dir flag
  ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "Created.${flag}"
  ${If} $0 == 1
    RMDir "${dir}"
  ${EndIf}
!macroend

; The 32-bit driver's files, and the folders of its root that were made for them.
!macro Remove32
  Delete "$Root32\Bin\Korvane.dll"
  Delete "$Root32\Lib\msc\Korvane.lib"
  !insertmacro KorvaneRemoveHeaders "$Root32\Include"
  !insertmacro UnRemoveCreated "$Root32\Lib\msc" Msc32
  !insertmacro UnRemoveCreated "$Root32\Lib" Lib32
  !insertmacro UnRemoveCreated "$Root32\Include" Include32
  !insertmacro UnRemoveCreated "$Root32\Bin" Bin32
  !insertmacro UnRemoveCreated "$Root32" Root32
  ${GetParent} "$Root32" $R0
  !insertmacro UnRemoveCreated "$R0" RootParent32
!macroend

!ifdef WITH_X86
; The 32-bit driver, after the 64-bit one is in place. Left out, with a line in the log, where
; the machine runs no 32-bit programs (no 32-bit regsvr32, or one that cannot start) or where
; both roots are one folder (the DLLs share a name).
Function Install32
  ${IfNot} ${FileExists} "$WINDIR\SysWOW64\regsvr32.exe"
    !insertmacro Log "no 32-bit Windows on this machine (no SysWOW64\regsvr32.exe): the 32-bit driver is left out"
    StrCpy $Root32 ""
    Return
  ${EndIf}
  ${If} $Root32 == $INSTDIR
    !insertmacro Log "the 32-bit IVI root is the 64-bit one ($INSTDIR): the 32-bit driver is left out"
    StrCpy $Root32 ""
    Return
  ${EndIf}
  !insertmacro Log "the 32-bit driver: into the 32-bit IVI root $Root32"
  ${GetParent} "$Root32" $R0
  !insertmacro Prepare "$R0" RootParent32
  !insertmacro Prepare "$Root32" Root32
  !insertmacro Prepare "$Root32\Bin" Bin32
  !insertmacro Prepare "$Root32\Include" Include32
  !insertmacro Prepare "$Root32\Lib" Lib32
  !insertmacro Prepare "$Root32\Lib\msc" Msc32
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation32" "$Root32"
  ClearErrors
  SetOutPath "$Root32\Bin"
  File "${X86STAGE}/bin/Korvane.dll"
  SetOutPath "$Root32\Lib\msc"
  File "${X86STAGE}/lib/Korvane.lib"
  !insertmacro KorvaneInstallHeaders "$Root32\Include"
  ${If} ${Errors}
    !insertmacro Refuse "files could not be written under $Root32"
  ${EndIf}
  !insertmacro Log "files copied: Bin, Include, Lib\msc of the 32-bit root"
  ClearErrors
  ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /s "$Root32\Bin\Korvane.dll"' $0
  ${If} ${Errors}
    !insertmacro Log "the 32-bit regsvr32 cannot run on this machine: the 32-bit driver is left out"
    SetOutPath "$INSTDIR"  ; a folder that is the working directory cannot be removed
    !insertmacro Remove32
    DeleteRegValue HKLM "${UNINSTALL_KEY}" "InstallLocation32"
    StrCpy $Root32 ""
    Return
  ${EndIf}
  ${If} $0 != 0
    !insertmacro Log "the 32-bit regsvr32 failed on $Root32\Bin\Korvane.dll (exit code $0)"
    Delete "$Root32\Bin\Korvane.dll"
    !insertmacro Refuse "the 32-bit COM server could not be registered"
  ${EndIf}
  !insertmacro Log "registered the 32-bit COM server and its type library (32-bit regsvr32)"
  StrCpy $StoreFlag " --32-bit"
FunctionEnd
!endif

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
!ifdef WITH_X86
  Call Install32
!endif

  nsExec::ExecToStack '"$INSTDIR\Drivers\Korvane\korvane-store-entries.exe" add "$Store"$StoreFlag'
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

  ; The 32-bit driver first: the reverse of the install's order.
  ReadRegStr $Root32 HKLM "${UNINSTALL_KEY}" "InstallLocation32"
  ${If} $Root32 != ""
    ClearErrors
    ExecWait '"$WINDIR\SysWOW64\regsvr32.exe" /u /s "$Root32\Bin\Korvane.dll"' $0
    ${If} ${Errors}
    ${OrIf} $0 != 0
      !insertmacro Log "the 32-bit regsvr32 /u failed (exit code $0); the 32-bit registration may remain"
    ${Else}
      !insertmacro Log "unregistered the 32-bit COM server (32-bit regsvr32 /u)"
    ${EndIf}
    !insertmacro Remove32
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
