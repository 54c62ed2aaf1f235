; The Windows setup program: zem-builder.exe, zem-viewer.exe, zem.exe and the readme, with Start
; menu shortcuts and a desktop shortcut, a Send To entry, the .zem file type (a double-click views
; an archive), Explorer's "Pack into a .zem archive" on folders and "Unpack here" on archives, and
; an entry in Apps.
; Built by cmake/PackageWindows.cmake (target installer), which passes:
;   VERSION  the project's version (1.2.3)
;   STAGE    the folder holding the stripped zem-builder.exe, zem-viewer.exe, zem.exe, README.txt
;            and LICENSE.txt
;   ICON     res/zem-builder.ico
;   OUTFILE  the setup program to write
;
; Administrators install for all users into Program Files, other users for themselves into their
; per-user programs folder (MultiUser.nsh); /AllUsers and /CurrentUser choose on the command
; line. A setup run over an earlier install goes into the same folder and the same mode.

!ifndef VERSION | STAGE | ICON | OUTFILE
  !error "makensis needs -DVERSION= -DSTAGE= -DICON= -DOUTFILE="
!endif

Unicode true
; The program is x86-64; the 32-bit stub would also need 32-bit Wine in the tests.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!define PRODUCT "ZEM Builder"
!define PUBLISHER "The ZEM Builder developers"
!define UNINSTALL_LIST "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define UNINSTALL_KEY "${UNINSTALL_LIST}\${PRODUCT}"
!define PROGID "ZEMBuilder.Archive"
!define CLASSES "Software\Classes"
; In the .zem key: the file type's owner before this install, given back by the uninstaller.
!define PREVIOUS_OWNER "ZEMBuilder.PreviousOwner"
!define SHORTCUT "${PRODUCT}.lnk"
!define VIEWER_SHORTCUT "ZEM Viewer.lnk"
; In the Apps entry: set when this setup made the list of programs it sits in (a user's registry
; has none until a first per-user setup makes one), which the uninstaller then removes if empty.
!define MADE_LIST "ZEMBuilder.MadeUninstallList"
; Also there: how many folders the first setup made, the program's and those above it (a new
; user's per-user programs folder, say), which the uninstaller removes as far as they are empty.
!define MADE_FOLDERS "ZEMBuilder.MadeFolders"
; The verb on folders, a key of its own name under Directory\shell.
!define PACK_VERB "ZEMBuilder.Pack"
; Also in the Apps entry: how many of Directory and Directory\shell the first setup made in the
; classes it wrote to (Windows has both for all users, a user's own classes may lack them), which
; the uninstaller removes again once empty.
!define MADE_CLASS_KEYS "ZEMBuilder.MadeClassKeys"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "OriginalFilename" "zem-builder-${VERSION}-setup.exe"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
; The Apps entry remembers where and for whom the program is installed: an upgrade finds both.
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_FUNCTION KeepChosenFolder
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A folder given with /D= wins over the mode's default, which MultiUser sets after it.
Var ChosenFolder
Function KeepChosenFolder
  ${If} $ChosenFolder != ""
    StrCpy $INSTDIR $ChosenFolder
  ${EndIf}
FunctionEnd

Function .onInit
  StrCpy $ChosenFolder $INSTDIR  ; only /D= sets it this early
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

; Explorer rereads file types and their icons.
!macro ASSOCIATIONS_CHANGED
  System::Call 'shell32::SHChangeNotify(i 0x08000000, i 0, p 0, p 0)' ; SHCNE_ASSOCCHANGED
!macroend

; $0: how many folders, from $INSTDIR up, do not exist yet.
Function CountMissingFolders
  Push $1
  StrCpy $0 0
  StrCpy $1 "$INSTDIR"
  ${DoUntil} ${FileExists} "$1\*.*"
    IntOp $0 $0 + 1
    ${GetParent} "$1" $1
    ${IfThen} $1 == "" ${|} ${ExitDo} ${|}
  ${Loop}
  Pop $1
FunctionEnd

Section "Install"
  ; An earlier install's count stands for its folder: they exist by now.
  ReadRegStr $8 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegDWORD $7 SHCTX "${UNINSTALL_KEY}" "${MADE_FOLDERS}"
  ${If} $8 != $INSTDIR
  ${OrIf} $7 == ""
    Call CountMissingFolders
    StrCpy $7 $0
  ${EndIf}
  SetOutPath "$INSTDIR"
  ; Files of an earlier version are simply replaced.
  File "${STAGE}\zem-builder.exe"
  File "${STAGE}\zem.exe"
  File "${STAGE}\zem-viewer.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\zem-builder.exe" "" \
    "$INSTDIR\zem-builder.exe" 0 "" "" "Packs a folder into one .zem archive"
  CreateShortcut "$DESKTOP\${SHORTCUT}" "$INSTDIR\zem-builder.exe" "" \
    "$INSTDIR\zem-builder.exe" 0 "" "" "Drop a folder here to pack it, a .zem file to unpack it"
  CreateShortcut "$SMPROGRAMS\${VIEWER_SHORTCUT}" "$INSTDIR\zem-viewer.exe" "" \
    "$INSTDIR\zem-viewer.exe" 0 "" "" "Shows the files in a .zem archive"
  ; Windows has no Send To folder for all users: the entry is the installing user's.
  CreateShortcut "$SENDTO\${SHORTCUT}" "$INSTDIR\zem-builder.exe" "" \
    "$INSTDIR\zem-builder.exe" 0 "" "" "Packs the folder into one .zem archive"

  ; The file type: SHCTX is HKLM for all users and HKCU for one.
  WriteRegStr SHCTX "${CLASSES}\${PROGID}" "" "ZEM archive"
  ; The archive's own icon (a box, not the program's folder), by its resource number.
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\DefaultIcon" "" '"$INSTDIR\zem-builder.exe",-102'
  ; A double-click views the archive, as Explorer opens a .zip as a folder and 7-Zip opens its
  ; window; unpacking is one right-click away. The verb is "open", shown as "View": the default
  ; verb, and the one that programs asking for "open" get (an earlier version's unpacked).
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\open" "" "View"
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\open" "Icon" '"$INSTDIR\zem-viewer.exe",0'
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\open\command" "" \
    '"$INSTDIR\zem-viewer.exe" "%1"'
  ; Right-click on an archive: "Unpack here", as archive tools call it.
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\unpack" "" "Unpack here"
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\unpack" "Icon" '"$INSTDIR\zem-builder.exe",0'
  WriteRegStr SHCTX "${CLASSES}\${PROGID}\shell\unpack\command" "" \
    '"$INSTDIR\zem-builder.exe" "%1"'
  ; Right-click on a folder. An earlier install's count stands: it made the keys there are now.
  ReadRegDWORD $9 SHCTX "${UNINSTALL_KEY}" "${MADE_CLASS_KEYS}"
  ${If} $9 == ""
    StrCpy $9 0
    ClearErrors
    EnumRegKey $0 SHCTX "${CLASSES}\Directory\shell" 0
    ${If} ${Errors}
      StrCpy $9 1
      ClearErrors
      EnumRegKey $0 SHCTX "${CLASSES}\Directory" 0
      ${IfThen} ${Errors} ${|} StrCpy $9 2 ${|}
    ${EndIf}
  ${EndIf}
  WriteRegStr SHCTX "${CLASSES}\Directory\shell\${PACK_VERB}" "" "Pack into a .zem archive"
  WriteRegStr SHCTX "${CLASSES}\Directory\shell\${PACK_VERB}" "Icon" \
    '"$INSTDIR\zem-builder.exe",0'
  WriteRegStr SHCTX "${CLASSES}\Directory\shell\${PACK_VERB}\command" "" \
    '"$INSTDIR\zem-builder.exe" "%1"'
  ReadRegStr $0 SHCTX "${CLASSES}\.zem" ""
  ${If} $0 != ""
  ${AndIf} $0 != "${PROGID}"
    WriteRegStr SHCTX "${CLASSES}\.zem" "${PREVIOUS_OWNER}" "$0"
  ${EndIf}
  WriteRegStr SHCTX "${CLASSES}\.zem" "" "${PROGID}"
  WriteRegStr SHCTX "${CLASSES}\.zem\OpenWithProgids" "${PROGID}" ""
  !insertmacro ASSOCIATIONS_CHANGED

  ; The Apps / Add or Remove Programs entry. The mode goes with the uninstaller's command line,
  ; so that it cleans the same root whoever starts it.
  ${If} $MultiUser.InstallMode == "AllUsers"
    StrCpy $1 "/AllUsers"
  ${Else}
    StrCpy $1 "/CurrentUser"
  ${EndIf}
  ReadRegDWORD $5 SHCTX "${UNINSTALL_KEY}" "${MADE_LIST}"
  ClearErrors
  EnumRegKey $6 SHCTX "${UNINSTALL_LIST}" 0
  ${If} ${Errors}
    StrCpy $5 1
  ${EndIf}
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\zem-builder.exe",0'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe" $1'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" $1 /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} $5 = 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "${MADE_LIST}" 1
  ${EndIf}
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "${MADE_FOLDERS}" $7
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "${MADE_CLASS_KEYS}" $9
  ; In KiB, of the folder as installed (its own files only, not its subfolders).
  ${GetSize} "$INSTDIR" "/S=0K /G=0" $2 $3 $4
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $2
SectionEnd

Section "Uninstall"
  ; Only what the setup put there: anything else in the folder (an archive the user saved
  ; there, say) stays, and so does the folder then.
  Delete "$INSTDIR\zem-builder.exe"
  Delete "$INSTDIR\zem.exe"
  Delete "$INSTDIR\zem-viewer.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  ReadRegDWORD $3 SHCTX "${UNINSTALL_KEY}" "${MADE_FOLDERS}"
  StrCpy $4 "$INSTDIR"
  ${DoWhile} $3 > 1
    ${GetParent} "$4" $4
    ClearErrors
    RMDir "$4"
    ${IfThen} ${Errors} ${|} ${ExitDo} ${|}  ; not empty: neither are those above it
    IntOp $3 $3 - 1
  ${Loop}

  Delete "$SMPROGRAMS\${SHORTCUT}"
  Delete "$SMPROGRAMS\${VIEWER_SHORTCUT}"
  Delete "$DESKTOP\${SHORTCUT}"
  Delete "$SENDTO\${SHORTCUT}"

  ; .zem goes back to its earlier owner, or loses its default, but only while it is still ours:
  ; a program that took the file type over since keeps it.
  ReadRegStr $0 SHCTX "${CLASSES}\.zem" ""
  ReadRegStr $1 SHCTX "${CLASSES}\.zem" "${PREVIOUS_OWNER}"
  ${If} $0 == "${PROGID}"
    ${If} $1 != ""
      WriteRegStr SHCTX "${CLASSES}\.zem" "" "$1"
    ${Else}
      DeleteRegValue SHCTX "${CLASSES}\.zem" ""
    ${EndIf}
  ${EndIf}
  DeleteRegValue SHCTX "${CLASSES}\.zem" "${PREVIOUS_OWNER}"
  DeleteRegValue SHCTX "${CLASSES}\.zem\OpenWithProgids" "${PROGID}"
  DeleteRegKey /ifempty SHCTX "${CLASSES}\.zem\OpenWithProgids"
  DeleteRegKey /ifempty SHCTX "${CLASSES}\.zem"
  DeleteRegKey SHCTX "${CLASSES}\${PROGID}"
  DeleteRegKey SHCTX "${CLASSES}\Directory\shell\${PACK_VERB}"
  ReadRegDWORD $5 SHCTX "${UNINSTALL_KEY}" "${MADE_CLASS_KEYS}"
  ${If} $5 >= 1
    DeleteRegKey /ifempty SHCTX "${CLASSES}\Directory\shell"
  ${EndIf}
  ${If} $5 >= 2
    DeleteRegKey /ifempty SHCTX "${CLASSES}\Directory"
  ${EndIf}
  !insertmacro ASSOCIATIONS_CHANGED

  ReadRegDWORD $2 SHCTX "${UNINSTALL_KEY}" "${MADE_LIST}"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${If} $2 = 1
    DeleteRegKey /ifempty SHCTX "${UNINSTALL_LIST}"
  ${EndIf}
SectionEnd
