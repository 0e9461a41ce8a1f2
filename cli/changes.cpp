// The lines of diff and of the dry runs of update and patch.
#include "cli/changes.h"

#include "cli/messages.h"
#include "cli/names.h"
#include "cli/standard_output.h"

#include <nlohmann/json.hpp>

namespace cli {

void WriteChange(const Change& change, bool json)
{
    std::string line;
    if (json) {
        static const char* const statuses[] = {"added", "removed", "modified"};
        nlohmann::ordered_json object;
        object["status"] = statuses[int(change.kind)];
        object["name"] = NameToUtf8(change.name, NameForm::Json);
        object["name_hex"] = HexBytes(change.name);
        object["old_size"] = change.oldSize ? nlohmann::ordered_json(*change.oldSize) : nullptr;
        object["new_size"] = change.newSize ? nlohmann::ordered_json(*change.newSize) : nullptr;
        line = object.dump();
    } else {
        static const char letters[] = {'A', 'D', 'M'};
        line = std::string(1, letters[int(change.kind)]) + " " + NameToUtf8(change.name, NameForm::Text);
    }
    line.push_back('\n');
    WriteStdoutText(line.data(), line.size());
}

bool ChangesWrittenOrSay(const char* what)
{
    SystemError error;
    if (FlushStdout(&error))
        return true;
    Message(std::string("cannot write the ") + what + ": " + error.Text());
    return false;
}

} // namespace cli
