; The installer of the Windows folder: Reflasher.exe, the service bench's console program
; reflasher-cli.exe and the read-me into one folder, a Start-menu shortcut and an uninstaller. The flasher prog.exe and the firmware files are the
; vendor's: the operator copies them into the folder, and neither the installer nor the
; uninstaller ever writes or removes them (nor anything else it did not put there).
;
; /S installs and uninstalls silently; /D=<folder> (last on the command line) picks the folder.
; Without /D= an existing installation is replaced where it is (its recorded location).
; While a wizard runs (its named mutex exists) both refuse: a message when interactive, exit
; code 2 with /S. makensis is given VERSION, STAGE (the folder to install), ICON and OUTFILE
; with -D, and CLI when the folder holds reflasher-cli.exe.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh

!define PRODUCT "Reflasher"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; Reflasher.exe holds it while it runs (source/win32/main.cpp).
!define RUNNING_MUTEX "Global\Reflasher.Wizard.Running"
; What this installer puts into the folder; the uninstaller removes these and nothing else.
!define READ_ME "Reflasher read-me.txt"
!define CLI_EXE "reflasher-cli.exe"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An earlier installation's folder, unless /D= names another.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "CompanyName" ""
VIAddVersionKey "LegalCopyright" ""

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Refuses while a wizard runs: it would keep its Reflasher.exe while the rest is replaced or
; removed, and the job would be reported done. Interactive: Retry once the wizard has ended.
!macro RefuseWhileTheWizardRuns un
Function ${un}RefuseWhileTheWizardRuns
  check:
    ; SYNCHRONIZE (0x00100000): enough to see that the mutex exists.
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${RUNNING_MUTEX}") p .r0'
    StrCmp $0 0 done
    System::Call 'kernel32::CloseHandle(p r0)'
    IfSilent refuse
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "${PRODUCT} is running. End it first, then choose Retry." IDRETRY check
  refuse:
    SetErrorLevel 2
    Quit
  done:
FunctionEnd
!macroend
!insertmacro RefuseWhileTheWizardRuns ""
!insertmacro RefuseWhileTheWizardRuns "un."

; The shortcut is for every user of the machine, as the folder is.
Function .onInit
  SetShellVarContext all
  Call RefuseWhileTheWizardRuns
FunctionEnd

Function un.onInit
  SetShellVarContext all
  Call un.RefuseWhileTheWizardRuns
FunctionEnd

Section "${PRODUCT}"
  ; Asked again here: a wizard started while the directory page was open.
  Call RefuseWhileTheWizardRuns
  ; An earlier installation in another folder (/D= named this one) goes, so that one copy and
  ; one uninstaller remain; only what an installer put there is removed.
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $1 != ""
  ${AndIf} $1 != $INSTDIR
    Delete "$1\Reflasher.exe"
    Delete "$1\${CLI_EXE}"
    Delete "$1\${READ_ME}"
    Delete "$1\Uninstall.exe"
    RMDir "$1"
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "${STAGE}\Reflasher.exe"
!ifdef CLI
  File "${STAGE}\${CLI_EXE}"
!endif
  File "${STAGE}\${READ_ME}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\Reflasher.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Reflasher.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Call un.RefuseWhileTheWizardRuns
  Delete "$INSTDIR\Reflasher.exe"
!ifdef CLI
  Delete "$INSTDIR\${CLI_EXE}"
!endif
  Delete "$INSTDIR\${READ_ME}"
  Delete "$INSTDIR\Uninstall.exe"
  ; Only an empty folder goes: the vendor's prog.exe and firmware files stay, as does anything
  ; else the operator put there.
  RMDir "$INSTDIR"
  ; The entry and the shortcut are this installation's only when it is the one recorded: an
  ; older uninstaller left in another folder must not take a newer installation's.
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $1 == $INSTDIR
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${EndIf}
SectionEnd
