// The [Torznab] endpoints of the settings file: reading, the enable flag,
// writing back with every other line kept.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "settings/IniFile.h"
#include "settings/TorznabEndpoints.h"
#include "support/Shell.h"

namespace sorvena {
namespace {

TIniFile parsed(const std::string& text)
{
    TIniFile ini;
    EXPECT_TRUE(ini.Parse(text));
    return ini;
}

TEST(TorznabEndpoints, ReadsNamesUrlsAndTheEnableFlag)
{
    const TIniFile ini = parsed(
        "[Torznab]\n"
        "Jackett = http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/api?apikey=abc=def\n"
        "; a comment\n"
        "Prowlarr=http://127.0.0.1:9696/1/api?apikey=K\n"
        "Empty=\n"
        "jackett=http://duplicate/\n"
        "[TorznabDisabled]\n"
        "prowlarr=1\n"
        "Jackett=0\n");
    const std::vector<TTorznabEndpoint> expected = {
        {"Jackett", "http://127.0.0.1:9117/api/v2.0/indexers/all/results/torznab/api?apikey=abc=def", true},
        {"Prowlarr", "http://127.0.0.1:9696/1/api?apikey=K", false},
    };
    EXPECT_EQ(ReadTorznabEndpoints(ini), expected);
    EXPECT_TRUE(ReadTorznabEndpoints(parsed("[View]\nAutoCheckPeer=1\n")).empty());
}

TEST(TorznabEndpoints, AtMostTheLimitIsRead)
{
    std::string text = "[Torznab]\n";
    for (size_t i = 0; i < TorznabMaxEndpoints + 5; ++i) text += "E" + std::to_string(i) + "=http://h/api\n";
    EXPECT_EQ(ReadTorznabEndpoints(parsed(text)).size(), TorznabMaxEndpoints);
}

TEST(TorznabEndpoints, WritingKeepsOtherLinesAndRemovesDroppedEndpoints)
{
    TIniFile ini = parsed(
        "; kept comment\n"
        "[View]\nAutoCheckPeer=1\r\n"
        "[Torznab]\nOld=http://old/api\nKeep=http://keep/api\nfuture line without equals\n"
        "[TorznabDisabled]\nOld=1\n"
        "[Unknown]\nx=y\n");
    WriteTorznabEndpoints(ini, {{"Keep", "http://keep/api?apikey=2", false}, {"New one", "http://new/api", true}});
    EXPECT_EQ(ini.Text(),
              "; kept comment\n"
              "[View]\nAutoCheckPeer=1\r\n"
              "[Torznab]\nKeep=http://keep/api?apikey=2\nfuture line without equals\nNew one=http://new/api\n"
              "[TorznabDisabled]\nKeep=1\n"
              "[Unknown]\nx=y\n");
    const std::vector<TTorznabEndpoint> expected = {{"Keep", "http://keep/api?apikey=2", false},
                                                    {"New one", "http://new/api", true}};
    EXPECT_EQ(ReadTorznabEndpoints(ini), expected);

    // Enabling again removes the flag; a fresh file gets both sections only
    // when needed.
    WriteTorznabEndpoints(ini, {{"Keep", "http://keep/api?apikey=2", true}});
    EXPECT_EQ(ReadTorznabEndpoints(ini), (std::vector<TTorznabEndpoint>{{"Keep", "http://keep/api?apikey=2", true}}));
    TIniFile fresh;
    WriteTorznabEndpoints(fresh, {{"A", "http://a/api", true}});
    EXPECT_EQ(fresh.Text(), "[Torznab]\nA=http://a/api\n");
}

TEST(TorznabEndpoints, SavedFileReadsBack)
{
    const auto dir = std::filesystem::temp_directory_path() / ("torznab-endpoints-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "vrk.ini").string();
    {
        std::ofstream(path) << "[Search]\nKeyword=a;b\n";
    }
    TIniFile ini;
    std::string reason;
    ASSERT_TRUE(ini.LoadFromFile(path, reason)) << reason;
    WriteTorznabEndpoints(ini, {{"Local", "http://127.0.0.1:9117/api?apikey=x", false}});
    ASSERT_TRUE(ini.SaveToFile(path, reason)) << reason;
    EXPECT_EQ(test::ReadAll(path), "[Search]\nKeyword=a;b\n[Torznab]\nLocal=http://127.0.0.1:9117/api?apikey=x\n"
                                   "[TorznabDisabled]\nLocal=1\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 1)
        << "no temporary file left beside it";
    std::filesystem::remove_all(dir);
}

TEST(TorznabEndpoints, NamesTheFileCanHold)
{
    for (const char* good : {"Jackett", "My indexer (local)", "Prowlarr 2", "\xC3\xA9t\xC3\xA9"})
        EXPECT_TRUE(IsValidEndpointName(good)) << good;
    for (const char* bad : {"", " lead", "trail ", "a=b", "[x", ";x", "#x", "tab\there", "new\nline"})
        EXPECT_FALSE(IsValidEndpointName(bad)) << bad;
}

}  // namespace
}  // namespace sorvena
