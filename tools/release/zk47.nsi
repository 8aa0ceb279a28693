; The station's installer: for the current user, no administrator rights, into a folder the
; user can write (the monitor keeps its settings and logs in its working folder).
; makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DSTAGE=<programs and docs> -DOUTFILE=<setup.exe>
; Silent: /S, /D=<folder> (last, unquoted), /AUTOSTART to start the monitor at login.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PRODUCT "Станция ZK-47"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ZK-47"
!define MONITOR_CLASS "zk47_monitor"
!define MENU_DIR "$SMPROGRAMS\ZK-47"
!define MONITOR_LINK "Монитор ZK-47.lnk"
!define MANUAL_LINK "Руководство оператора.lnk"
!define MANUAL "docs\operator-manual.html"
!define KEPT "Настройки (zk47.cfg, zksrv.cfg) и журналы (папка data) оставлены в папке"

; Read in the wizard's phrases: "Установка станции ZK-47".
Name "станции ZK-47"
BrandingText "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\ZK-47"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка станции ZK-47"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "${PRODUCT}"

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\${MANUAL}"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Открыть руководство оператора"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"

; Nothing may change while the monitor runs from the folder: its programs would be replaced or
; removed under it, and it may be writing a log. $0 comes back 1 when one runs.
!macro MONITOR_RUNNING un
Function ${un}MonitorRunning
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $0 0
  StrCpy $1 0
  ${Do}
    FindWindow $1 "${MONITOR_CLASS}" "" 0 $1
    ${If} $1 = 0
      ${Break}
    ${EndIf}
    System::Call "user32::GetWindowThreadProcessId(p r1, *i .r2)"
    ; PROCESS_QUERY_LIMITED_INFORMATION; a monitor that cannot be asked counts as ours.
    System::Call "kernel32::OpenProcess(i 0x1000, i 0, i r2) p .r3"
    ${If} $3 P= 0
      StrCpy $0 1
      ${Break}
    ${EndIf}
    StrCpy $2 ${NSIS_MAX_STRLEN}
    System::Call "kernel32::QueryFullProcessImageNameW(p r3, i 0, w .r4, *i r2) i .r2"
    System::Call "kernel32::CloseHandle(p r3)"
    ${If} $2 = 0
    ${OrIf} $4 == "$INSTDIR\zk47.exe"
      StrCpy $0 1
      ${Break}
    ${EndIf}
  ${Loop}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

Function ${un}RefuseWhileRunning
  ${Do}
    Call ${un}MonitorRunning
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONSTOP "Монитор ZK-47 запущен из папки $INSTDIR.$\nЗакройте его окно и нажмите «Повтор». Ничего не изменено." /SD IDCANCEL IDRETRY +2
    Abort
  ${Loop}
FunctionEnd
!macroend
!insertmacro MONITOR_RUNNING ""
!insertmacro MONITOR_RUNNING "un."

Section "Программы и руководство оператора" SecMain
  SectionIn RO
  Call RefuseWhileRunning
  ; Only the programs and the manual: zk47.cfg, zksrv.cfg and data\ are the operator's.
  SetOutPath "$INSTDIR"
  File "${STAGE}\zk47.exe"
  File "${STAGE}\zksrv.exe"
  File "${STAGE}\zkrelay.exe"
  File "${STAGE}\wgnuplot.exe"
  RMDir /r "$INSTDIR\docs"
  SetOutPath "$INSTDIR\docs"
  File /r "${STAGE}\docs\*.*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; A shortcut starts in the folder that is current when it is made: the monitor's folder.
  SetOutPath "$INSTDIR"
  SetShellVarContext current
  CreateDirectory "${MENU_DIR}"
  CreateShortcut "${MENU_DIR}\${MONITOR_LINK}" "$INSTDIR\zk47.exe" "" "$INSTDIR\zk47.exe" 0
  CreateShortcut "${MENU_DIR}\${MANUAL_LINK}" "$INSTDIR\${MANUAL}"
  Delete "$SMSTARTUP\${MONITOR_LINK}"

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\zk47.exe"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K /G=0" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "Запускать монитор при входе в Windows" SecAutostart
  SetOutPath "$INSTDIR"
  SetShellVarContext current
  CreateShortcut "$SMSTARTUP\${MONITOR_LINK}" "$INSTDIR\zk47.exe" "--autostart" "$INSTDIR\zk47.exe" 0
SectionEnd

Function .onInit
  SetShellVarContext current
  ; At once when the folder is known (an upgrade, /D=); the section asks again for a folder
  ; chosen on the page.
  Call RefuseWhileRunning
  ; An upgrade keeps the start at login that was chosen before.
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART" $R1
  ${IfNot} ${Errors}
  ${OrIf} ${FileExists} "$SMSTARTUP\${MONITOR_LINK}"
    !insertmacro SelectSection ${SecAutostart}
  ${EndIf}
FunctionEnd

Function un.onInit
  Call un.RefuseWhileRunning
FunctionEnd

Section Uninstall
  SetShellVarContext current
  Delete "$INSTDIR\zk47.exe"
  Delete "$INSTDIR\zksrv.exe"
  Delete "$INSTDIR\zkrelay.exe"
  Delete "$INSTDIR\wgnuplot.exe"
  RMDir /r "$INSTDIR\docs"
  Delete "${MENU_DIR}\${MONITOR_LINK}"
  Delete "${MENU_DIR}\${MANUAL_LINK}"
  RMDir "${MENU_DIR}"
  Delete "$SMSTARTUP\${MONITOR_LINK}"
  DeleteRegKey HKCU "${UNINST_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  ; The folder goes only when nothing of the operator's is left in it.
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "${KEPT} $INSTDIR."
    MessageBox MB_OK|MB_ICONINFORMATION "Программы удалены.$\n${KEPT} $INSTDIR." /SD IDOK
  ${EndIf}
SectionEnd
