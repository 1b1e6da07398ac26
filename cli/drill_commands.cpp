// drill and doctor: the restore drill on an archive of a firm, and the examination of the
// live data tree.
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/text.h"
#include "common.h"
#include "drill/doctor.h"
#include "drill/drill.h"
#include "platform/file_system.h"
#include "startup/launch.h"

namespace vornback {

int DrillCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(
        args, {"--archive", "--program-folder", "--scratch", "--passphrase-file"}, {"--json"});
    if (parsed.positional.size() != 1) {
        throw Usage{"drill takes one <firm>,<year>"};
    }
    const std::string& firmYear = parsed.positional[0];
    const size_t comma = firmYear.find(',');
    if (comma == std::string::npos || firmYear.find(',', comma + 1) != std::string::npos ||
        comma + 1 == firmYear.size() || !IsDecimalNumber(firmYear.substr(0, comma))) {
        throw Usage{"the firm and year are given as <firm>,<year>, for example 1,2; not \"" +
                    firmYear + "\""};
    }
    if (parsed.Has("--archive") && parsed.Value("--archive").empty()) {
        throw Usage{"--archive needs a file"};
    }
    const std::string programFolder = ProgramFolderOption(parsed);
    StartupDecision start;
    try {
        start =
            DecideStartup(firmYear + ",B", programFolder, LookUpDefaultFolderFacts(programFolder));
    } catch (const UsageError& e) {
        throw Usage{e.what()};
    }
    const ProgramValues& values = start.values;
    std::string archive = parsed.Value("--archive");
    if (archive.empty()) {
        const auto newest = NewestFirmArchive(start.defaultFolder, values.CurrentFirmNo);
        if (!newest) {
            throw Error("There is no archive Firm" + std::to_string(values.CurrentFirmNo) +
                        ".zip in the backup folder " + start.defaultFolder +
                        " or its date and day folders; name one with --archive FILE.");
        }
        archive = *newest;
    }
    std::error_code error;
    archive = std::filesystem::absolute(archive, error).lexically_normal().string();
    if (!std::filesystem::is_regular_file(archive, error)) {
        throw Error("The archive \"" + archive +
                    "\" is not a file; give the path of a backup "
                    "archive.");
    }
    if (parsed.Has("--scratch") && !std::filesystem::is_directory(parsed.Value("--scratch"))) {
        throw Error("The scratch folder's place \"" + parsed.Value("--scratch") +
                    "\" is not a folder.");
    }

    const int64_t startTime = static_cast<int64_t>(std::time(nullptr));
    ProgressLine line("drilling");
    DrillOptions options;
    options.passphrase = PassphraseOption(parsed);
    options.scratchParent = parsed.Value("--scratch");
    options.progress = line.Callback();
    options.cancel = &gCancel;
    const DrillReport report = DrillArchive(archive, values.CurrentFirmNo, options);
    line.Finish();
    RecordDrill(values, report, startTime);
    if (parsed.Has("--json")) {
        std::cout << DrillJson(report) << "\n";
    } else {
        (report.Proven() ? std::cout : std::cerr) << DrillText(report);
    }
    return report.Proven() ? kOk : kFailure;
}

int DoctorCommand(const std::vector<std::string>& args) {
    const ParsedArgs parsed = ParseArgs(args, {"--data", "--program-folder"}, {"--json", "--fix"});
    if (!parsed.positional.empty()) {
        throw Usage{"doctor takes no " + parsed.positional[0]};
    }
    ProgramValues values;
    if (parsed.Has("--data")) {
        std::error_code error;
        const std::string data =
            std::filesystem::absolute(parsed.Value("--data"), error).lexically_normal().string();
        if (error || parsed.Value("--data").empty() ||
            !std::filesystem::is_directory(data, error)) {
            throw Error("The data folder \"" + parsed.Value("--data") + "\" does not exist.");
        }
        values.AppFolder =
            data.size() > 1 && data.back() == '/' ? data.substr(0, data.size() - 1) : data;
        values.ProgramFolder = parsed.Has("--program-folder") ? ProgramFolderOption(parsed)
                                                              : JoinPath(values.AppFolder, "Bkp");
    } else {
        values.ProgramFolder = ProgramFolderOption(parsed);
        if (values.ProgramFolder.size() < 4) {
            throw Error("The program folder \"" + values.ProgramFolder +
                        "\" is too short to lie in a data tree; give the tree with --data DIR.");
        }
        values.AppFolder = values.ProgramFolder.substr(0, values.ProgramFolder.size() - 4);
    }
    LocalFileSystem fs;
    const DoctorReport report = ExamineDataTree(values, fs, parsed.Has("--fix"));
    if (parsed.Has("--json")) {
        std::cout << DoctorJson(report) << "\n";
    } else {
        std::cout << DoctorText(report);
    }
    return report.Healthy() ? kOk : kFailure;
}

}  // namespace vornback
