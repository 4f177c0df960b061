<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>Quillpress</name>
    <message id="AddMenuTitle">
        <source>&amp;Add Files…</source>
        <translation>&amp;Add Files…</translation>
    </message>
    <message id="AddRecursiveCheckTitle">
        <source>Also add the files in &amp;subfolders</source>
        <translation>Also add the files in &amp;subfolders</translation>
    </message>
    <message id="AddToolbarTitle">
        <source>Add</source>
        <translation>Add</translation>
    </message>
    <message id="AddToolbarToolTip">
        <source>Add PostScript and EPS files or folders to the list (Ctrl+O)</source>
        <translation>Add PostScript and EPS files or folders to the list (Ctrl+O)</translation>
    </message>
    <message id="AddingFilesMessage">
        <source>Adding files…</source>
        <translation>Adding files…</translation>
    </message>
    <message id="CompressPDFCheckTitle">
        <source>&amp;Make the PDF files smaller</source>
        <translation>&amp;Make the PDF files smaller</translation>
    </message>
    <message id="ContactSupportMenuTitle">
        <source>&amp;Contact Support…</source>
        <translation>&amp;Contact Support…</translation>
    </message>
    <message id="ConvertAllButtonTitle">
        <source>Convert All…</source>
        <translation>Convert All…</translation>
    </message>
    <message id="ConvertAllMenuTitle">
        <source>Convert A&amp;ll Files…</source>
        <translation>Convert A&amp;ll Files…</translation>
    </message>
    <message id="ConvertAllToolbarTitle">
        <source>Convert All</source>
        <translation>Convert All</translation>
    </message>
    <message id="ConvertAllToolbarToolTip">
        <source>Convert every file in the list to PDF</source>
        <translation>Convert every file in the list to PDF</translation>
    </message>
    <message id="ConvertButtonTitle">
        <source>Convert…</source>
        <translation>Convert…</translation>
    </message>
    <message id="ConvertMenuTitle">
        <source>&amp;Convert Selected Files…</source>
        <translation>&amp;Convert Selected Files…</translation>
    </message>
    <message id="ConvertToolbarTitle">
        <source>Convert</source>
        <translation>Convert</translation>
    </message>
    <message id="ConvertToolbarToolTip">
        <source>Convert the selected files to PDF</source>
        <translation>Convert the selected files to PDF</translation>
    </message>
    <message id="EditMenuTitle">
        <source>&amp;Edit</source>
        <translation>&amp;Edit</translation>
    </message>
    <message id="FileListAccessibleName">
        <source>Files to convert</source>
        <translation>Files to convert</translation>
    </message>
    <message id="FileMenuTitle">
        <source>&amp;File</source>
        <translation>&amp;File</translation>
    </message>
    <message id="FilePathColumnTitle">
        <source>File</source>
        <translation>File</translation>
    </message>
    <message id="HelpMenuTitle">
        <source>&amp;Help</source>
        <translation>&amp;Help</translation>
    </message>
    <message id="HelpToolbarTitle">
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message id="HelpToolbarToolTip">
        <source>Open the Quillpress user manual (F1)</source>
        <translation>Open the Quillpress user manual (F1)</translation>
    </message>
    <message id="IndexColumnTitle">
        <source>No.</source>
        <translation>No.</translation>
    </message>
    <message id="MainWindowTitle">
        <source>Quillpress</source>
        <translation>Quillpress</translation>
    </message>
    <message id="MaintainDirTreeTitle">
        <source>Keep the folder structure when converting</source>
        <translation>Keep the folder structure when converting</translation>
    </message>
    <message id="NoButtonTitle">
        <source>Keep Watching</source>
        <translation>Keep Watching</translation>
    </message>
    <message id="OpenDialogButton">
        <source>Add</source>
        <translation>Add</translation>
    </message>
    <message id="OpenDialogTitle">
        <source>Add PostScript and EPS Files</source>
        <translation>Add PostScript and EPS Files</translation>
    </message>
    <message id="OpenPanelAllFilesFilter">
        <source>All files</source>
        <translation>All files</translation>
    </message>
    <message id="OpenPanelPostScriptFilter">
        <source>PostScript and EPS files</source>
        <translation>PostScript and EPS files</translation>
    </message>
    <message id="QuitButtonString">
        <source>Quit</source>
        <translation>Quit</translation>
    </message>
    <message id="QuitMenuTitle">
        <source>&amp;Quit</source>
        <translation>&amp;Quit</translation>
    </message>
    <message id="QuitOnCloseMessage">
        <source>The watch folder is active. While Quillpress is closed, new files in the watch folder are not converted; watching starts again the next time you open Quillpress.</source>
        <translation>The watch folder is active. While Quillpress is closed, new files in the watch folder are not converted; watching starts again the next time you open Quillpress.</translation>
    </message>
    <message id="QuitOnCloseTitle">
        <source>Quit Quillpress?</source>
        <translation>Quit Quillpress?</translation>
    </message>
    <message id="RateMenuTitle">
        <source>&amp;Rate Quillpress…</source>
        <translation>&amp;Rate Quillpress…</translation>
    </message>
    <message id="RateToolbarTitle">
        <source>Rate</source>
        <translation>Rate</translation>
    </message>
    <message id="RateToolbarToolTip">
        <source>Rate Quillpress in the store</source>
        <translation>Rate Quillpress in the store</translation>
    </message>
    <message id="RemoveAllMenuTitle">
        <source>Remove All &amp;Files from List</source>
        <translation>Remove All &amp;Files from List</translation>
    </message>
    <message id="RemoveAllToolbarTitle">
        <source>Remove All</source>
        <translation>Remove All</translation>
    </message>
    <message id="RemoveAllToolbarToolTip">
        <source>Remove every file from the list</source>
        <translation>Remove every file from the list</translation>
    </message>
    <message id="RemoveMenuTitle">
        <source>&amp;Remove from List</source>
        <translation>&amp;Remove from List</translation>
    </message>
    <message id="RemoveToolbarTitle">
        <source>Remove</source>
        <translation>Remove</translation>
    </message>
    <message id="RemoveToolbarToolTip">
        <source>Remove the selected files from the list (Delete)</source>
        <translation>Remove the selected files from the list (Delete)</translation>
    </message>
    <message id="RevealMenuTitle">
        <source>Show in File &amp;Manager</source>
        <translation>Show in File &amp;Manager</translation>
    </message>
    <message id="SelectAllMenuTitle">
        <source>Select &amp;All</source>
        <translation>Select &amp;All</translation>
    </message>
    <message id="ToolbarTitle">
        <source>Toolbar</source>
        <translation>Toolbar</translation>
    </message>
    <message id="UserManualMenuTitle">
        <source>Quillpress &amp;User Manual</source>
        <translation>Quillpress &amp;User Manual</translation>
    </message>
    <message id="WatchFolderMenuTitle">
        <source>&amp;Watch Folder…</source>
        <translation>&amp;Watch Folder…</translation>
    </message>
    <message id="Exporting">
        <source>Converting %1 of %2… %3</source>
        <translation>Converting %1 of %2… %3</translation>
    </message>
    <message id="ExportProgressTitle">
        <source>Converting to PDF</source>
        <translation>Converting to PDF</translation>
    </message>
    <message id="CancelButtonTitle">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="ErrorAlertTitle">
        <source>The conversion failed</source>
        <translation>The conversion failed</translation>
    </message>
    <message id="ErrorAlertSingleMsg">
        <source>“%1” could not be converted to PDF. The file may be damaged, or the destination folder may not be writable.</source>
        <translation>“%1” could not be converted to PDF. The file may be damaged, or the destination folder may not be writable.</translation>
    </message>
    <message id="ErrorAlertMsg">
        <source>Some files could not be converted to PDF. They may be damaged, or the destination folder may not be writable.</source>
        <translation>Some files could not be converted to PDF. They may be damaged, or the destination folder may not be writable.</translation>
    </message>
    <message id="ConvertMsg">
        <source>The conversion has finished</source>
        <translation>The conversion has finished</translation>
    </message>
    <message id="SuccessfullConvertMsg">
        <source>All files were converted to PDF</source>
        <translation>All files were converted to PDF</translation>
    </message>
    <message id="OkButtonString">
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message id="OpenDestinationTitle">
        <source>Open Destination</source>
        <translation>Open Destination</translation>
    </message>
    <message id="WatchFolderSheetTitle">
        <source>Watch Folder</source>
        <translation>Watch Folder</translation>
    </message>
    <message id="WatchSourceFolderLabel">
        <source>&amp;Watch this folder for PostScript and EPS files:</source>
        <translation>&amp;Watch this folder for PostScript and EPS files:</translation>
    </message>
    <message id="WatchDestinationFolderLabel">
        <source>Save the &amp;PDF files in this folder:</source>
        <translation>Save the &amp;PDF files in this folder:</translation>
    </message>
    <message id="WatchMoveFilesFolderLabel">
        <source>Move converted files &amp;into this folder:</source>
        <translation>Move converted files &amp;into this folder:</translation>
    </message>
    <message id="WatchFolderDropHint">
        <source>Choose a folder or drop one here</source>
        <translation>Choose a folder or drop one here</translation>
    </message>
    <message id="ChooseFolderButtonTitle">
        <source>Choose…</source>
        <translation>Choose…</translation>
    </message>
    <message id="OpenFolderButtonTitle">
        <source>Open</source>
        <translation>Open</translation>
    </message>
    <message id="WatchAfterConversionTitle">
        <source>After a file is converted</source>
        <translation>After a file is converted</translation>
    </message>
    <message id="WatchDeleteSourceTitle">
        <source>&amp;Delete it</source>
        <translation>&amp;Delete it</translation>
    </message>
    <message id="WatchMoveToDestinationTitle">
        <source>&amp;Move it into the folder of the PDF files</source>
        <translation>&amp;Move it into the folder of the PDF files</translation>
    </message>
    <message id="WatchMoveToFolderTitle">
        <source>Move it into &amp;another folder</source>
        <translation>Move it into &amp;another folder</translation>
    </message>
    <message id="StartWatchingButtonTitle">
        <source>Start Watching</source>
        <translation>Start Watching</translation>
    </message>
    <message id="StopWatchingButtonTitle">
        <source>Stop Watching</source>
        <translation>Stop Watching</translation>
    </message>
    <message id="DoneButtonTitle">
        <source>Done</source>
        <translation>Done</translation>
    </message>
    <message id="OpenDestinationDialogTitle">
        <source>Choose the Folder for the PDF Files</source>
        <translation>Choose the Folder for the PDF Files</translation>
    </message>
    <message id="OpenFileDialogButton">
        <source>Choose</source>
        <translation>Choose</translation>
    </message>
    <message id="SourceWatchAndDestSameMsg">
        <source>The watched folder and the folder for the PDF files must be different folders.</source>
        <translation>The watched folder and the folder for the PDF files must be different folders.</translation>
    </message>
    <message id="MoveFoderNotSelectedMsg">
        <source>Choose the folder that converted files are moved into.</source>
        <translation>Choose the folder that converted files are moved into.</translation>
    </message>
    <message id="SourceWatchAndMoveSameMsg">
        <source>The watched folder and the folder that converted files are moved into must be different folders.</source>
        <translation>The watched folder and the folder that converted files are moved into must be different folders.</translation>
    </message>
    <message id="WatchFolderCannotWatchMsg">
        <source>The watched folder cannot be watched. Check that it still exists, then choose it again.</source>
        <translation>The watched folder cannot be watched. Check that it still exists, then choose it again.</translation>
    </message>
    <message id="WatchFolderNoDestinationMsg">
        <source>The folder for the PDF files, or the folder converted files are moved into, is not there. Choose it again.</source>
        <translation>The folder for the PDF files, or the folder converted files are moved into, is not there. Choose it again.</translation>
    </message>
    <message id="WatchFoldersShareSourceMsg">
        <source>Another watch folder watches this folder already.</source>
        <translation>Another watch folder watches this folder already.</translation>
    </message>
    <message id="WatchFoldersLoopMsg">
        <source>A watch folder's files would go into another watch folder's watched folder, round and round. Choose other folders.</source>
        <translation>A watch folder's files would go into another watch folder's watched folder, round and round. Choose other folders.</translation>
    </message>
    <message id="WatchPdfSettingsLabel">
        <source>PDF settings:</source>
        <translation>PDF settings:</translation>
    </message>
    <message id="WatchStateOff">
        <source>Not watching.</source>
        <translation>Not watching.</translation>
    </message>
    <message id="WatchStateWatching">
        <source>Watching.</source>
        <translation>Watching.</translation>
    </message>
    <message id="WatchStateWaiting">
        <source>Waiting for the watched folder to come back.</source>
        <translation>Waiting for the watched folder to come back.</translation>
    </message>
    <message id="WatchStateOtherWatcher">
        <source>Watching. Another watcher is at work on this folder too.</source>
        <translation>Watching. Another watcher is at work on this folder too.</translation>
    </message>
    <message id="WatchActivityTimeColumn">
        <source>Time</source>
        <translation>Time</translation>
    </message>
    <message id="WatchActivityFileColumn">
        <source>File</source>
        <translation>File</translation>
    </message>
    <message id="WatchActivityResultColumn">
        <source>Result</source>
        <translation>Result</translation>
    </message>
    <message id="WatchActivityReasonColumn">
        <source>Reason</source>
        <translation>Reason</translation>
    </message>
    <message id="WatchEventStarted">
        <source>Started watching</source>
        <translation>Started watching</translation>
    </message>
    <message id="WatchEventStopped">
        <source>Stopped watching</source>
        <translation>Stopped watching</translation>
    </message>
    <message id="WatchEventConverted">
        <source>Converted</source>
        <translation>Converted</translation>
    </message>
    <message id="WatchEventMoved">
        <source>Moved</source>
        <translation>Moved</translation>
    </message>
    <message id="WatchEventDeleted">
        <source>Deleted</source>
        <translation>Deleted</translation>
    </message>
    <message id="WatchEventFailed">
        <source>Failed</source>
        <translation>Failed</translation>
    </message>
    <message id="WatchEventChanged">
        <source>Changed, taken again</source>
        <translation>Changed, taken again</translation>
    </message>
    <message id="WatchEventFolderGone">
        <source>Folder gone</source>
        <translation>Folder gone</translation>
    </message>
    <message id="WatchEventFolderBack">
        <source>Folder back</source>
        <translation>Folder back</translation>
    </message>
    <message id="WatchEventOtherWatcher">
        <source>Another watcher</source>
        <translation>Another watcher</translation>
    </message>
    <message id="WatchEventTakenBack">
        <source>Taken back</source>
        <translation>Taken back</translation>
    </message>
    <message id="WatchEventSkipped">
        <source>Skipped</source>
        <translation>Skipped</translation>
    </message>
    <message id="WatchEventRefused">
        <source>Refused</source>
        <translation>Refused</translation>
    </message>
    <message id="WatchEventRenamed">
        <source>Renamed</source>
        <translation>Renamed</translation>
    </message>
    <message id="WatchRefusalNotificationTitle">
        <source>A print job sent to a watch folder was refused</source>
        <translation>A print job sent to a watch folder was refused</translation>
    </message>
    <message id="WatchFailureNotificationTitle">
        <source>A file in the watch folder could not be converted</source>
        <translation>A file in the watch folder could not be converted</translation>
    </message>
    <message id="StatusColumnTitle">
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message id="StatusWaiting">
        <source>Waiting</source>
        <translation>Waiting</translation>
    </message>
    <message id="StatusConverting">
        <source>Converting…</source>
        <translation>Converting…</translation>
    </message>
    <message id="StatusConverted">
        <source>Converted to %1</source>
        <translation>Converted to %1</translation>
    </message>
    <message id="StatusConvertedToolTip">
        <source>Converted to %1. Double-click or press Enter to open it.</source>
        <translation>Converted to %1. Double-click or press Enter to open it.</translation>
    </message>
    <message id="StatusFailed">
        <source>Failed: %1</source>
        <translation>Failed: %1</translation>
    </message>
    <message id="Cancelling">
        <source>Cancelling…</source>
        <translation>Cancelling…</translation>
    </message>
    <message id="CancelAddingAccessibleName">
        <source>Stop adding files</source>
        <translation>Stop adding files</translation>
    </message>
    <message id="AddingFilesCount">
        <source>Adding files… %1 found</source>
        <translation>Adding files… %1 found</translation>
    </message>
    <message id="LinkNotFollowed">
        <source>Not added: “%1” is a symbolic link. Links inside folders are not followed; add the file itself to convert it.</source>
        <translation>Not added: “%1” is a symbolic link. Links inside folders are not followed; add the file itself to convert it.</translation>
    </message>
    <message id="LinksNotFollowed">
        <source>Not added: %1 symbolic links (%2…). Links inside folders are not followed; add the files themselves to convert them.</source>
        <translation>Not added: %1 symbolic links (%2…). Links inside folders are not followed; add the files themselves to convert them.</translation>
    </message>
    <message id="ConvertHereButton">
        <source>Convert Here</source>
        <translation>Convert Here</translation>
    </message>
    <message id="ConvertChooserTitle">
        <source>Convert the Selected Files to PDF in…</source>
        <translation>Convert the Selected Files to PDF in…</translation>
    </message>
    <message id="ConvertAllChooserTitle">
        <source>Convert All Files to PDF in…</source>
        <translation>Convert All Files to PDF in…</translation>
    </message>
    <message id="CannotOpenMessage">
        <source>The desktop has no program to open “%1”. You can open it yourself; the text can be selected and copied.</source>
        <translation>The desktop has no program to open “%1”. You can open it yourself; the text can be selected and copied.</translation>
    </message>
    <message id="UserManualMissing">
        <source>The user manual is not installed with this copy of Quillpress.</source>
        <translation>The user manual is not installed with this copy of Quillpress.</translation>
    </message>
    <message id="PdfPresetLabel">
        <source>PDF &amp;settings:</source>
        <translation>PDF &amp;settings:</translation>
    </message>
    <message id="PdfPresetFaithfulTitle">
        <source>Faithful</source>
        <translation>Faithful</translation>
    </message>
    <message id="PdfPresetFaithfulToolTip">
        <source>Everything as the PostScript has it: pages, sizes, colours and images, none of them made lossy</source>
        <translation>Everything as the PostScript has it: pages, sizes, colours and images, none of them made lossy</translation>
    </message>
    <message id="PdfPresetSmallestTitle">
        <source>Smallest file</source>
        <translation>Smallest file</translation>
    </message>
    <message id="PdfPresetSmallestToolTip">
        <source>For the screen, mail and the web: images at 150 ppi, each stored as JPEG where that makes it smaller, the file&apos;s structure compressed</source>
        <translation>For the screen, mail and the web: images at 150 ppi, each stored as JPEG where that makes it smaller, the file&apos;s structure compressed</translation>
    </message>
    <message id="PdfPresetPrintTitle">
        <source>Office printing</source>
        <translation>Office printing</translation>
    </message>
    <message id="PdfPresetPrintToolTip">
        <source>For office and desktop printers: images kept to 300 ppi without loss, every font embedded</source>
        <translation>For office and desktop printers: images kept to 300 ppi without loss, every font embedded</translation>
    </message>
    <message id="PdfPresetPdfX3Title">
        <source>Press (PDF/X-3)</source>
        <translation>Press (PDF/X-3)</translation>
    </message>
    <message id="PdfPresetPdfX3ToolTip">
        <source>For a printing press: a PDF/X-3 file with a CMYK output intent, a title and trim boxes; links, which print nothing, are left out</source>
        <translation>For a printing press: a PDF/X-3 file with a CMYK output intent, a title and trim boxes; links, which print nothing, are left out</translation>
    </message>
    <message id="PdfPresetPdfA2bTitle">
        <source>Archive (PDF/A-2b)</source>
        <translation>Archive (PDF/A-2b)</translation>
    </message>
    <message id="PdfPresetPdfA2bToolTip">
        <source>For long-term archiving: a PDF/A-2b file with an sRGB output intent; links keep working and print nothing</source>
        <translation>For long-term archiving: a PDF/A-2b file with an sRGB output intent; links keep working and print nothing</translation>
    </message>
    <message id="CompressPDFCheckToolTip">
        <source>Writes each PDF losslessly smaller (object streams, recompressed streams), whatever the PDF settings. Smallest file always does so; Press (PDF/X-3) never does, as PDF/X-3 files cannot hold object streams.</source>
        <translation>Writes each PDF losslessly smaller (object streams, recompressed streams), whatever the PDF settings. Smallest file always does so; Press (PDF/X-3) never does, as PDF/X-3 files cannot hold object streams.</translation>
    </message>
    <message id="PdfPresetAccessibleName">
        <source>PDF settings</source>
        <translation>PDF settings</translation>
    </message>
    <message id="FailedFileLine">
        <source>“%1”: %2</source>
        <translation>“%1”: %2</translation>
    </message>
    <message id="ConverterSaidLine">
        <source>    The converter said: %1</source>
        <translation>    The converter said: %1</translation>
    </message>
    <message id="FailedFilesAre">
        <source>Not converted: %1.</source>
        <translation>Not converted: %1.</translation>
    </message>
    <message id="FailedNamesAndMore">
        <source>%1 and %2 more</source>
        <translation>%1 and %2 more</translation>
    </message>
    <message id="CancelledAlertTitle">
        <source>The conversion was cancelled</source>
        <translation>The conversion was cancelled</translation>
    </message>
    <message id="CancelledNothingConverted">
        <source>Cancelled. No file was converted before the cancel.</source>
        <translation>Cancelled. No file was converted before the cancel.</translation>
    </message>
    <message id="CancelledSomeConverted">
        <source>Cancelled. Converted before the cancel (%1): %2.</source>
        <translation>Cancelled. Converted before the cancel (%1): %2.</translation>
    </message>
    <message id="FailureUndefined">
        <source>The file uses “%1”, a command that PostScript does not know.</source>
        <translation>The file uses “%1”, a command that PostScript does not know.</translation>
    </message>
    <message id="FailureTypeCheck">
        <source>The command “%1” was given a value of the wrong kind.</source>
        <translation>The command “%1” was given a value of the wrong kind.</translation>
    </message>
    <message id="FailureStackUnderflow">
        <source>The command “%1” lacks the values it needs.</source>
        <translation>The command “%1” lacks the values it needs.</translation>
    </message>
    <message id="FailureRangeCheck">
        <source>The command “%1” was given a value out of its range.</source>
        <translation>The command “%1” was given a value out of its range.</translation>
    </message>
    <message id="FailureSyntaxError">
        <source>The file is not written correctly near “%1” (a bracket or string is left open).</source>
        <translation>The file is not written correctly near “%1” (a bracket or string is left open).</translation>
    </message>
    <message id="FailureUndefinedResult">
        <source>The command “%1” computed something impossible, such as a division by zero.</source>
        <translation>The command “%1” computed something impossible, such as a division by zero.</translation>
    </message>
    <message id="FailureLimitCheck">
        <source>The command “%1” went beyond a limit of the interpreter.</source>
        <translation>The command “%1” went beyond a limit of the interpreter.</translation>
    </message>
    <message id="FailureMemory">
        <source>The interpreter ran out of memory at “%1”.</source>
        <translation>The interpreter ran out of memory at “%1”.</translation>
    </message>
    <message id="FailureInvalidFont">
        <source>A font that the file uses is damaged (at “%1”).</source>
        <translation>A font that the file uses is damaged (at “%1”).</translation>
    </message>
    <message id="FailureNoCurrentPoint">
        <source>The command “%1” draws without a starting point.</source>
        <translation>The command “%1” draws without a starting point.</translation>
    </message>
    <message id="FailureUnmatchedMark">
        <source>The command “%1” found no matching opening bracket.</source>
        <translation>The command “%1” found no matching opening bracket.</translation>
    </message>
    <message id="FailureInvalidAccess">
        <source>The command “%1” tried to change something read-only.</source>
        <translation>The command “%1” tried to change something read-only.</translation>
    </message>
    <message id="FailureIOError">
        <source>The file could not be read at “%1”.</source>
        <translation>The file could not be read at “%1”.</translation>
    </message>
    <message id="FailureUndefinedFileName">
        <source>The file asks for another file that does not exist (at “%1”).</source>
        <translation>The file asks for another file that does not exist (at “%1”).</translation>
    </message>
    <message id="FailureOther">
        <source>The interpreter stopped with the error “%1” at “%2”.</source>
        <translation>The interpreter stopped with the error “%1” at “%2”.</translation>
    </message>
    <message id="FailureAtLine">
        <source>It stopped at line %1.</source>
        <translation>It stopped at line %1.</translation>
    </message>
    <message id="FailureCancelled">
        <source>The conversion was stopped.</source>
        <translation>The conversion was stopped.</translation>
    </message>
    <message id="FailureNoConverter">
        <source>The converter program could not be started; it may not be installed.</source>
        <translation>The converter program could not be started; it may not be installed.</translation>
    </message>
    <message id="FailureCrashed">
        <source>The converter stopped unexpectedly.</source>
        <translation>The converter stopped unexpectedly.</translation>
    </message>
    <message id="FailureNoOutput">
        <source>The converter produced no PDF.</source>
        <translation>The converter produced no PDF.</translation>
    </message>
    <message id="FailureCannotWrite">
        <source>The PDF could not be written into the destination folder.</source>
        <translation>The PDF could not be written into the destination folder.</translation>
    </message>
    <message id="FailureUnreadable">
        <source>The file cannot be read.</source>
        <translation>The file cannot be read.</translation>
    </message>
    <message id="FailureNotRegularFile">
        <source>Only regular files can be converted, not folders, pipes or devices.</source>
        <translation>Only regular files can be converted, not folders, pipes or devices.</translation>
    </message>
    <message id="FailureNotPostScript">
        <source>The file is not PostScript.</source>
        <translation>The file is not PostScript.</translation>
    </message>
    <message id="FailureSymbolicLink">
        <source>The file is a symbolic link, which is not followed.</source>
        <translation>The file is a symbolic link, which is not followed.</translation>
    </message>
    <message id="FailureInterpreter">
        <source>The interpreter could not convert the document.</source>
        <translation>The interpreter could not convert the document.</translation>
    </message>
    <message id="FailureCpuLimit">
        <source>The document took more than %1 seconds of processor time, its limit.</source>
        <translation>The document took more than %1 seconds of processor time, its limit.</translation>
    </message>
    <message id="FailureMemoryLimit">
        <source>The document needed more than %1 MiB of memory, its limit.</source>
        <translation>The document needed more than %1 MiB of memory, its limit.</translation>
    </message>
    <message id="FailureOutputLimit">
        <source>The document wrote more than %1 MiB, its output limit.</source>
        <translation>The document wrote more than %1 MiB, its output limit.</translation>
    </message>
    <message id="FailureFileCountLimit">
        <source>The document made more than %1 files, its limit.</source>
        <translation>The document made more than %1 files, its limit.</translation>
    </message>
    <message id="FailureTimeLimit">
        <source>The document took more than %1 seconds, its limit.</source>
        <translation>The document took more than %1 seconds, its limit.</translation>
    </message>
    <message id="FailureForbidden">
        <source>The document tried what the converter does not allow, and was stopped.</source>
        <translation>The document tried what the converter does not allow, and was stopped.</translation>
    </message>
    <message id="FailureConverterFailed">
        <source>The converter reported a failure.</source>
        <translation>The converter reported a failure.</translation>
    </message>
    <message id="FailureStandardNotMet">
        <source>The PDF cannot meet the standard that its setting asks for.</source>
        <translation>The PDF cannot meet the standard that its setting asks for.</translation>
    </message>
    <message id="FailureOtherReason">
        <source>The conversion failed.</source>
        <translation>The conversion failed.</translation>
    </message>
    <message id="FailureLimit">
        <source>The document went over a limit of the converter.</source>
        <translation>The document went over a limit of the converter.</translation>
    </message>
    <message id="FailureUnknown">
        <source>The reason is not known.</source>
        <translation>The reason is not known.</translation>
    </message>
    <message id="WatchSourceChooserTitle">
        <source>Choose the Folder to Watch</source>
        <translation>Choose the Folder to Watch</translation>
    </message>
    <message id="WatchMoveFilesChooserTitle">
        <source>Choose the Folder for Converted PostScript Files</source>
        <translation>Choose the Folder for Converted PostScript Files</translation>
    </message>
    <message id="WatchSourcePathAccessibleName">
        <source>Watched folder</source>
        <translation>Watched folder</translation>
    </message>
    <message id="WatchDestinationPathAccessibleName">
        <source>Folder for the PDF files</source>
        <translation>Folder for the PDF files</translation>
    </message>
    <message id="WatchMoveFilesPathAccessibleName">
        <source>Folder for converted PostScript files</source>
        <translation>Folder for converted PostScript files</translation>
    </message>
    <message id="ChooseSourceAccessibleName">
        <source>Choose the watched folder</source>
        <translation>Choose the watched folder</translation>
    </message>
    <message id="OpenSourceAccessibleName">
        <source>Open the watched folder</source>
        <translation>Open the watched folder</translation>
    </message>
    <message id="ChooseDestinationAccessibleName">
        <source>Choose the folder for the PDF files</source>
        <translation>Choose the folder for the PDF files</translation>
    </message>
    <message id="OpenDestinationAccessibleName">
        <source>Open the folder for the PDF files</source>
        <translation>Open the folder for the PDF files</translation>
    </message>
    <message id="ChooseMoveFilesAccessibleName">
        <source>Choose the folder for converted PostScript files</source>
        <translation>Choose the folder for converted PostScript files</translation>
    </message>
    <message id="OpenMoveFilesAccessibleName">
        <source>Open the folder for converted PostScript files</source>
        <translation>Open the folder for converted PostScript files</translation>
    </message>
    <message id="WatchingBusyAccessibleName">
        <source>Watching</source>
        <translation>Watching</translation>
    </message>
    <message id="WatchFoldersNameColumn">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="WatchFoldersSourceColumn">
        <source>Watched folder</source>
        <translation>Watched folder</translation>
    </message>
    <message id="WatchFoldersDestinationColumn">
        <source>PDF files into</source>
        <translation>PDF files into</translation>
    </message>
    <message id="WatchFoldersStateColumn">
        <source>State</source>
        <translation>State</translation>
    </message>
    <message id="WatchFolderAddButton">
        <source>Add</source>
        <translation>Add</translation>
    </message>
    <message id="WatchFolderRemoveButton">
        <source>Remove</source>
        <translation>Remove</translation>
    </message>
    <message id="WatchFolderEditButton">
        <source>Edit</source>
        <translation>Edit</translation>
    </message>
    <message id="WatchFolderStateFailures">
        <source>%1 failed</source>
        <translation>%1 failed</translation>
    </message>
    <message id="WatchFolderBrokenEntry">
        <source>(cannot be read)</source>
        <translation>(cannot be read)</translation>
    </message>
    <message id="WatchFolderNewName">
        <source>New watch folder</source>
        <translation>New watch folder</translation>
    </message>
</context>
</TS>
