// The client-installation object of the uninstall program: it finds where the client is
// installed, keeps the upgrade log in the client's "data" directory, stops a running client
// through its main window ("KVcanCloseUI", then WM_CLOSE, then a wait for its process), and
// upgrades the client: the new version waiting in "NewVersion" replaces "program" (the folders
// are swapped) or updates it (the new files are copied over the old ones), with the old version
// kept in "PrevVersion" and put back when the upgrade fails.
//
// Runs on the program's user-interface thread. The log file is one per process and shared by
// every CUpgrader; the destructor closes it. The virtual operations are the points where a
// caller changes the settings, the hooks and the messages of an upgrade.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace kv {

class CUpgrader {
public:
    // `resources` is the module whose resources hold dialog 101 (the program's own).
    explicit CUpgrader(HINSTANCE resources) noexcept : resources_(resources) {}
    virtual ~CUpgrader();
    CUpgrader(const CUpgrader&) = delete;
    CUpgrader& operator=(const CUpgrader&) = delete;

    // The client's root directory from the App Paths entry of "Korvane.exe", its last component
    // "program" cut off (the trailing backslash kept). False when the entry is missing, is not
    // text, or does not fit in `size` bytes with its terminating zero.
    bool GetClientDirectory(char* buffer, size_t size) const;

    // `name` unchanged when it is absolute, else the client's root directory joined with it by
    // one backslash. False when the root is unknown or the result does not fit in `size`.
    bool ResolvePath(const char* name, char* buffer, size_t size) const;

    // Writes one printf-formatted line, exactly as formatted, to "upgrade.log" in the client's
    // "data" directory; the file is opened (and emptied) on the first line after start or after
    // it was closed. A line that cannot be written is dropped.
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Closes the log.
    void Log();

    // Whether the client's main window exists.
    bool IsClientRunning() const;

    // Asks a running client to close and waits until its process has ended, showing the wait
    // dialog while the user has a client dialog open. True once no client is running.
    bool StopClient();

    // --- The upgrade run and its overridable steps ---------------------------------------------

    // "update" (1) or "replacement" (0), from "method" (or "upgrade_method") in section "upgrade"
    // of "upgrade.dat" in "NewVersion"; a missing or unknown value is a replacement.
    virtual int IsUpdateMethod();
    // "keep-backup" of "upgrade.dat" (default 1): whether "PrevVersion" keeps the old version.
    virtual bool KeepBackup();
    // Hooks around the upgrade; true here.
    virtual bool FixDatabase();
    virtual bool OnUpgradeStart();
    virtual bool OnUpgradeDone();
    // Puts the backup back as "program" (a replaced new version goes back to "NewVersion", what
    // else is in "program" is moved aside whole, never emptied in place), shows message 106 or
    // 107, and registers the restored version. True when it is back in place.
    virtual bool RestorePreviousVersion();
    // The whole upgrade: stop, back up, replace or update, register, hooks, restart, restore on
    // failure, the markers "upgrade.ver" and "upgrade.ok". An upgrade that an earlier run left
    // half done (its journal says so) is first finished, when the new version was in place, or
    // rolled back and run again. True when the new version is installed.
    virtual bool RunUpgrade();
    virtual void ReportUpgradeFailed(bool restored);
    virtual void ReportBackupFailed();
    virtual void ReportUpgradeSucceeded();
    // Progress of a copy. Phases: 0 a directory copy begins (engine folder names), 1 a file is
    // about to be copied (false skips it), 2 a block was written (false stops the copy with
    // failure), 3 the file is finished, 4 the directory copy has ended. `context` points to a
    // value the caller of the copy sets to 0 and only this hook uses. True here.
    virtual bool OnCopyProgress(int phase, const char* source, const char* destination, ULONGLONG size,
                                ULONGLONG done, DWORD* context);
    // Shows message 100 + index (0..5) with the arguments; the full text goes to the log.
    virtual void ReportError(int index, const char* first, const char* second = "");
    // Called once each step of the run has been recorded in the journal ("backup", "install",
    // "installed", "restore") and once it is done ("backed up", "copied", "placed", "NewVersion
    // removed", "registered", "set aside", "restored"); does nothing here. A run that ends at
    // one of these points (a crash, a power cut, or a test that throws) is finished or rolled back
    // by the next RunUpgrade.
    virtual void OnRunStep(const char* step);

    // --- Folder operations on names resolved with ResolvePath; true on success -----------------

    // Removes everything inside `name` and leaves the folder. A folder that does not exist is
    // clean. Directory links are never entered; an entry whose own final path is not the path
    // walked (a link the system follows) is left alone and fails the clean.
    bool CleanDirectory(const char* name);
    // Copies the files of `source` into `destination` ("upgrade.dat" never, at any depth). Flag 1
    // also copies subfolders; flag 2 keeps what the destination holds and merges into subfolders
    // that already exist, else the destination is cleaned first. Every entry is tried; the
    // first failure is the result. An entry that cannot be copied (a link, in particular) fails
    // the copy: a new version is put in place whole or not at all.
    static constexpr unsigned kCopySubfolders = 1;
    static constexpr unsigned kKeepDestination = 2;
    bool CopyDirectory(DWORD* context, const char* source, const char* destination, unsigned flags);
    // Copies one file (to `destinationName`, or the same name when null), with its times; a
    // read-only destination is overwritten. The copy is written to a new name beside the
    // destination and renamed over it, never written through an existing entry; a destination or
    // source that is a link fails the copy.
    bool CopyOneFile(DWORD* context, const char* sourceDirectory, const char* destinationDirectory, const char* name,
                     const char* destinationName);
    // Renames the directory `from` to `to`; an existing `to` is cleaned and removed first when
    // `replace` is set, else the rename fails. `from` must be an existing directory: otherwise
    // `to` is left alone.
    bool RenameDirectory(const char* from, const char* to, bool replace);
    // Starts "program\Korvane.exe"; always true (the log says whether it started).
    bool StartClient();
    // Runs "kvv.exe /REGSERVER" from "program" and waits for it (at most 30 s), then calls
    // DllRegisterServer of the transport library ("qtcc_wnt.dll" on NT, else "qtcc_w95.dll").
    void RegisterComponents();

private:
    // The settings file "NewVersion\upgrade.dat"; empty when it cannot be worked out.
    const std::string& SettingsPath();
    // Shows a message from the string table with the caption 1000.
    void ShowMessage(UINT id, UINT icon);
    // Marker files in "data".
    void RemoveMarker(const char* name);
    void WriteMarker(const char* name);
    // The journal "upgrade.journal" in the client's folder: the step reached, the method, whether
    // a backup is kept and the folder that "program" was moved aside to. Written (to a new name,
    // then renamed over) before each move; removed when the run leaves the installation whole.
    void WriteJournal(const char* step, const std::string& aside = std::string());
    bool RemoveJournal();
    // Puts an installation that an interrupted run left behind back together: finished when the
    // new version was in place (true: nothing more to do), otherwise rolled back to the old
    // version with the new one still waiting (false: the upgrade runs as usual).
    bool RecoverInterruptedRun(bool& result);
    // Moves what is left in "program" aside and puts "PrevVersion" in its place; the moved folder
    // is deleted afterwards. "program" is never emptied in place.
    bool PutBackupInPlace(const std::string& aside);
    // A name in the client's folder that nothing uses, for "program" moved aside.
    std::string AsideName() const;
    // Deletes the folder `aside` that "program" was moved to; one that cannot go now is deleted
    // by a later run.
    void DropAside(const std::string& aside);
    // The walks, on extended-length wide paths; `shown` is the path as the log shows it.
    bool CleanTree(const std::wstring& extended, const std::string& shown);
    bool CopyTree(DWORD* context, const std::wstring& source, const std::string& sourceShown,
                  const std::wstring& destination, const std::string& destinationShown, unsigned flags);
    // `sourceFolder`: the final path of the source's folder, when a walk of it found it already.
    bool CopyFileAt(DWORD* context, const std::wstring& source, const std::string& sourceShown,
                    const std::wstring& destination, const std::string& destinationShown,
                    const std::wstring* sourceFolder = nullptr);

    HINSTANCE resources_;
    std::string settingsPath_;
    bool settingsPathKnown_ = false;
    // The method and backup choice of the run in progress, as the journal records them.
    bool runUpdate_ = false;
    bool runBackup_ = true;
    // Where a replacement without a backup keeps the old version until the new one is in place.
    std::string programAside_;
};

}  // namespace kv
