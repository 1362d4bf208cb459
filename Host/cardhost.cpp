// cardhost: a command-line vault host. It loads the format plug-in as the vault host does
// (through the registry, or from a named library), and shows, edits and saves the data card of
// message files. This file reads the command line; each command has its own file.
#include <algorithm>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "system.h"
#include "text.h"
#include "threads.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    using namespace cardhost;
    UseBinaryStandardStreams();
    CLI::App app{"cardhost: shows, edits and saves the data card of .msg files through the format plug-in", "cardhost"};
    app.set_version_flag("--version", std::string("cardhost ") + MSGPLUGIN_VERSION, "the version of cardhost and the plug-in");
    app.require_subcommand(1);
    app.fallthrough();  // --module may come after the command too
    std::string module;
    app.add_option("--module", module,
                   "load the plug-in from this library directly instead of through the registry");

    // The library to (un)register: MODULE, else --module, else the one built beside cardhost.
    auto* reg = app.add_subcommand("register", "register the plug-in (DllRegisterServer)");
    std::string regModule;
    const std::string regHelp = "the plug-in library (default: --module, else " + DefaultModule() + ")";
    reg->add_option("MODULE", regModule, regHelp);
    auto* unreg = app.add_subcommand("unregister", "unregister the plug-in (DllUnregisterServer)");
    unreg->add_option("MODULE", regModule, regHelp);

    auto* info = app.add_subcommand("info", "the plug-in's product, description, extensions and their flags");

    auto* show = app.add_subcommand("show", "show the card of each file");
    std::vector<std::string> showFiles, showVars;
    bool showJson = false, showFull = false;
    show->add_option("FILE", showFiles, "message files")->required();
    show->add_option("--var", showVars, "a catalogue name or decimal property tag (repeatable)")
        ->allow_extra_args(false);  // one name per --var, so the files after it stay files
    show->add_flag("--json", showJson, "one JSON object per line and file");
    show->add_flag("--full", showFull, "the whole body");

    auto* set = app.add_subcommand("set", "write variables and save the file");
    std::string setFile, setType = "str";
    std::vector<std::string> setAssignments;
    int holdMilliseconds = 0;
    set->add_option("FILE", setFile, "the message file")->required();
    set->add_option("ASSIGNMENT", setAssignments, "NAME=VALUE (NAME: catalogue name or decimal tag)")->required();
    set->add_option("--type", setType, "the values' type")
        ->check(CLI::IsMember({"str", "int", "real", "date", "bool"}))
        ->capture_default_str();
    set->add_option("--hold", holdMilliseconds, "keep the file open this many milliseconds before writing")
        ->check(CLI::Range(0, 600000))
        ->group("");

    auto* scan = app.add_subcommand("scan", "the card of every .msg below a folder");
    std::string scanFolder;
    bool scanJson = false;
    unsigned scanJobs = ProcessorCount();
    scan->add_option("DIR", scanFolder, "the folder")->required();
    scan->add_flag("--json", scanJson, "one JSON object per line and file");
    scan->add_option("--jobs", scanJobs, "read cards on this many threads (default: the number of processors)")
        ->check(CLI::Range(1u, 1024u))
        ->capture_default_str();

    auto* log = app.add_subcommand("log", "the plug-in's diagnostics log, decoded");
    size_t tail = 0;
    bool follow = false, logJson = false;
    log->add_option("--tail", tail, "only the last N entries");
    log->add_flag("--follow", follow, "keep watching for new entries");
    log->add_flag("--json", logJson, "one JSON object per line and entry");

    auto* sample = app.add_subcommand("sample", "write a sample message");
    std::string sampleFile;
    sample->add_option("FILE", sampleFile, "the file to write (replaced when it exists)")->required();

    try {
        std::vector<std::string> arguments = Utf8Arguments(argc, argv);
        std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first, without the program
        arguments.pop_back();
        app.parse(arguments);
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitSuccess : kExitUsage;
    }
    try {
        if (reg->parsed() || unreg->parsed()) {
            if (!regModule.empty() && !module.empty() &&
                fs::absolute(FileSystemPath(regModule)) != fs::absolute(FileSystemPath(module))) {
                std::cerr << "cardhost: two different libraries named: " << ShownText(regModule) << " and --module "
                          << ShownText(module) << "\n";
                return kExitUsage;
            }
            const std::string library = !regModule.empty() ? regModule : !module.empty() ? module : DefaultModule();
            return RunRegistration(library, reg->parsed());
        }
        if (info->parsed()) return RunInfo(module);
        if (show->parsed()) return RunShow(module, showFiles, showVars, showJson, showFull);
        if (set->parsed()) return RunSet(module, setFile, setAssignments, setType, holdMilliseconds);
        if (scan->parsed()) return RunScan(module, scanFolder, scanJson, scanJobs);
        if (log->parsed()) return RunLog(tail, follow, logJson);
        if (sample->parsed()) return RunSample(sampleFile);
    } catch (const std::exception& e) {
        std::cerr << "cardhost: " << e.what() << "\n";
        return kExitOpenFailed;
    }
    return kExitUsage;
}
