// Command-line front of the pack writer.
//   pakwriter OUT.pak [NAME=]FILE...     a pack of the given files
//   pakwriter --demo OUT.pak             the demo pack of the run command
//   pakwriter --generated OUT.pak COUNT BYTES [PREFIX]
//                                        COUNT entries of BYTES pattern bytes
#include "pack_writer.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool ReadWholeFile(const std::string& path, pakwriter::Bytes* bytes)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    uint8_t block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0)
        bytes->insert(bytes->end(), block, block + got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

pakwriter::Bytes TextBytes(const char* text)
{
    const std::string s(text);
    return pakwriter::Bytes(s.begin(), s.end());
}

std::vector<pakwriter::Entry> DemoEntries()
{
    std::vector<pakwriter::Entry> entries;
    entries.push_back({"readme.txt", TextBytes("quorvel demo pack\r\nEvery byte of this file is stored negated.\r\n")});
    entries.push_back({"シナリオ01.txt", TextBytes("demo scenario one\r\n")});
    entries.push_back({"表紙.bmp", pakwriter::Bytes(1024, 0x7F)});
    entries.push_back({"ソース一覧.txt", TextBytes("names with a 0x5C trail byte stay whole\r\n")});
    entries.push_back({"bgm\\title.ogg", pakwriter::Bytes(3000, 0x11)});
    entries.push_back({"empty.dat", {}});
    pakwriter::Bytes big(200000);
    pakwriter::FillPattern(0, 0, big.data(), big.size());
    entries.push_back({"map_data.bin", big});
    for (int i = 1; i <= 20; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "voice_%03d.wav", i);
        entries.push_back({name, pakwriter::Bytes(512 * i, static_cast<uint8_t>(i))});
    }
    return entries;
}

int Usage()
{
    std::fprintf(stderr, "usage: pakwriter OUT.pak [NAME=]FILE...\n"
                         "       pakwriter --demo OUT.pak\n"
                         "       pakwriter --generated OUT.pak COUNT BYTES [PREFIX]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return Usage();
    const std::string first = argv[1];
    if (first == "--demo")
        return pakwriter::WriteFile(argv[2], pakwriter::BuildPack(DemoEntries())) ? 0 : 1;
    if (first == "--generated") {
        if (argc < 5)
            return Usage();
        const unsigned long count = std::strtoul(argv[3], nullptr, 10);
        const unsigned long long size = std::strtoull(argv[4], nullptr, 10);
        const std::string prefix = argc > 5 ? argv[5] : "entry";
        std::vector<pakwriter::GeneratedEntry> entries;
        for (unsigned long i = 0; i < count; ++i)
            entries.push_back({prefix + std::to_string(i) + ".bin", size});
        return pakwriter::WriteGeneratedPack(argv[2], entries, pakwriter::FillPattern) ? 0 : 1;
    }
    std::vector<pakwriter::Entry> entries;
    for (int i = 2; i < argc; ++i) {
        std::string argument = argv[i];
        const size_t equals = argument.find('=');
        pakwriter::Entry entry;
        std::string path = argument;
        if (equals != std::string::npos) {
            entry.name = argument.substr(0, equals);
            path = argument.substr(equals + 1);
        } else {
            const size_t slash = argument.find_last_of("/\\");
            entry.name = slash == std::string::npos ? argument : argument.substr(slash + 1);
        }
        if (!ReadWholeFile(path, &entry.bytes)) {
            std::fprintf(stderr, "pakwriter: cannot read %s\n", path.c_str());
            return 1;
        }
        entries.push_back(entry);
    }
    return pakwriter::WriteFile(first, pakwriter::BuildPack(entries)) ? 0 : 1;
}
