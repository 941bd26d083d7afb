// The patcher: run frame, installations and server control, and the hot-fix
// program files. Every function here can be called on its own; the frame
// (PatcherMain) strings them together for one run.
#pragma once

#include <list>
#include <string>

// ---------------------------------------------------------------- registry

// One registered installation: a Domino server with ORV in it.
struct ORVInsInfo {
    std::string strDataPath;       // the server's data folder
    std::string strDominoBinPath;  // the server's program folder
    std::string strNotesIniPath;   // the server's notes.ini
    // The program folder the registry itself names for the server (its
    // DominoBinPath), "" when it names none: root's own word for the folder.
    std::string strRegistryBinPath;
};

// Callback of the registry walk: non-zero goes on, zero stops the walk.
typedef int (*ORVInsCallback)(ORVInsInfo* info, void* context);

// Result codes of ParseORVInsINI besides 0.
enum {
    ORVINS_ERR_NO_REGISTRY = 1025,  // the registry file cannot be opened
    ORVINS_ERR_FORMAT = 1026,       // a required key is missing, or the count is zero
};

// The product's root folder, without a trailing separator; set by every walk.
extern char g_szORVPatch[1024];

int ParseORVInsINI(int (*callback)(ORVInsInfo* info, void* context), void* context);
// context: a std::list<ORVInsInfo>*; collects the installations whose
// notes.ini the process may read and write. Always 1.
int CollectInstallInfo(ORVInsInfo* info, void* context);
void GetWindowsDirectory(char* buffer, int size);
int GetDominoBinFolderFromNotesINI(const char* notesIniPath, char* out, int size);

// ------------------------------------------------------ server and task control

int isFileLocked(const char* path);
int isDominoServerRunning(ORVInsInfo* info, void* context);
int IsORVRun(const char* dataPath, const char* taskName);
// Checks that the process may act as the owner of `path` (superuser, or that
// user already) and makes that owner the identity of the console commands
// that follow. 0 on success, 1 on failure.
int ChangeUser(char* path);
void RunDominoCommand(const char* notesIniPath, const char* binPath, const char* command);
int StopAllORV(ORVInsInfo* info, void* context);
int GetRunningORVNum(ORVInsInfo* info, void* context);  // context: int* counter
int LoadAllORV(ORVInsInfo* info, void* context);
int RestartAllORV(ORVInsInfo* info, void* context);
void KvORVSleep(int seconds);

// --------------------------------------------------------- scan-task clean-up

// Takes kvmscan out of the ServerTasks lines of a notes.ini. False when it
// may stay registered there (an Error: line says why); true when it is gone
// or there is no regular notes.ini to hold it.
bool CleanUpKvmscanTask(const char* notesIniPath);
int removeKvmscan(ORVInsInfo* info, void* context);

// ---------------------------------------------- build numbers and version folders

void KvParseVersionStr(const char* path, int* first, int* second, int* third, int* fourth);
const char* GetLatestPathN(const char* root, const char* sub, char* out, unsigned outSize);
void CreateLink(char* root, char* target);

// ---------------------------------------------------- library backup and swap

// The package's first 32 file names; unfilled slots hold an empty text.
extern char* szDlls[32];

int CopyAllDlls(const char* from, char* to);
int RenameAllDlls(char* folder);
int RemoveAllRenamedDlls(char* folder);

// ------------------------------------------ loader and extension manager update

// The seven ORV task names, in the order the loaders are replaced.
extern const char* szaLoader[7];

int updateORVExt(ORVInsInfo* info, void* context);
int UpdateLoader(ORVInsInfo* info, void* context);

// ------------------------------------------------------------ package settings

// The package folder; only strPackagePath is used.
struct InstallInfo {
    std::string strPackagePath;
};

// The package's settings, with the values a run goes on with when the
// settings file cannot be read.
struct _PatchSetting {
    std::list<std::string> Files;
    int BuildNumber = 0;
    std::list<std::string> Databases;
    int CreateNewFolder = 1;
    int DepentBuild = 0;
    int UpdateLoader = 0;
};

int ReadConfiguration(InstallInfo& info, _PatchSetting& setting);
int ParseFileList(std::list<std::string>& list, char* value);
int ReadFileList(_PatchSetting& setting);
int CheckEnvironment(_PatchSetting& setting);

// ------------------------------------------------------------ post-install fix-ups

void ChangeOwner(char* path);
int CopyReadMe(InstallInfo& info);

// ------------------------------------------------------------------ the run

// Outcomes of a run and of its procedures.
enum {
    ORV_RUN_OK = 0,
    ORV_RUN_FAILED = -300,  // exit status 212
    ORV_RUN_USAGE = -2,     // arguments not understood: exit status 2, nothing done
};

// The opening both modes share: finds the installations, reads the package
// settings and forms the backup folder path. False when the run must end
// (its log line and verdict already written).
bool RunOpening(std::list<ORVInsInfo>& installs, InstallInfo& package, _PatchSetting& setting,
                std::string& backupFolder);

// The two procedures; each answers ORV_RUN_OK or ORV_RUN_FAILED.
int RunUpdate(InstallInfo& package, _PatchSetting& setting, const std::string& backupFolder);
int RunRollback(InstallInfo& package, _PatchSetting& setting);

// The frame of main: mode, banner, run objects, opening, procedure, outcome.
int PatcherMain(int argc, char** argv);
