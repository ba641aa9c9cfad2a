// The value routines and the catalogue logic, without a window.
#include "AtomicFile.h"
#include "Catalogue.h"
#include "IniFile.h"
#include "Values.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TempDir = TTempDir;

std::string readAll(const std::string& path)
{
    std::string data;
    readWholeFile(path, data);
    return data;
}

} // namespace

TEST(ValueRoutines, CommentsAndFields)
{
    EXPECT_EQ(stripComment("abc ; note", ";"), "abc");
    EXPECT_EQ(stripComment("abc \t\r\n", ";"), "abc");
    EXPECT_EQ(stripComment("a;b;c", ";"), "a");
    EXPECT_EQ(stripComment("no marker  ", ";"), "no marker");

    // Fields are used as they are, without trimming; past the last one is empty.
    EXPECT_EQ(getField("a, b ,c", 1), "a");
    EXPECT_EQ(getField("a, b ,c", 2), " b ");
    EXPECT_EQ(getField("a, b ,c", 3), "c");
    EXPECT_EQ(getField("a, b ,c", 4), "");
    EXPECT_EQ(getField("a,,c", 2), "");
    EXPECT_EQ(getField("a,b,", 3), "");
    // A comment ends the value before the fields are counted.
    EXPECT_EQ(getField("#27c,#27d ; init, reset", 2), "#27d");
    EXPECT_EQ(getField("#27c,#27d ; init, reset", 3), "");
    // n <= 0: the whole comment-free text.
    EXPECT_EQ(getField("a,b ; c", 0), "a,b");
    EXPECT_EQ(getField("a,b ; c", -3), "a,b");
    EXPECT_EQ(getField("QXT,1.02,7", 3), "7");
}

TEST(ValueRoutines, Escapes)
{
    EXPECT_EQ(decodeEscapes("#27[c"), "\x1b[c");
    EXPECT_EQ(decodeEscapes("a#13#10b"), "a\r\nb");
    EXPECT_EQ(decodeEscapes("#00"), std::string(1, '\0'));
    EXPECT_EQ(decodeEscapes("no codes"), "no codes");
    // "#44" is a comma inside a field: the split comes first, the decoding after.
    EXPECT_EQ(decodeEscapes(getField("x#44y,z", 1)), "x,y");
    // The scan goes on after the two digits: "#272" is ESC followed by "2".
    EXPECT_EQ(decodeEscapes("#272"), "\x1b" "2");
    // "#" without two decimal digits is an error naming the text.
    for (const char* bad : {"#2", "#", "ab#x1", "#1a", "#-1"}) {
        try {
            decodeEscapes(bad);
            ADD_FAILURE() << bad << " decoded";
        } catch (const EConvertError& e) {
            EXPECT_NE(std::string(e.what()).find(bad), std::string::npos) << e.what();
        }
    }
}

TEST(ValueRoutines, FileListsOnAnIniKey)
{
    TempDir dir;
    TIniFile ini(dir.path() + "lists.ini");
    EXPECT_EQ(loadFileList(ini.ReadString("Dev", "BMPFILE", "none")), std::vector<std::string> {"none"});
    ini.WriteString("Dev", "BMPFILE", saveFileList({"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));
    EXPECT_EQ(ini.ReadString("Dev", "BMPFILE", ""), "3,4,5,6,7,8,9,10,");
    EXPECT_EQ(loadFileList(" a.bmp ,b.bmp,,c.bmp"), (std::vector<std::string> {" a.bmp ", "b.bmp"}));
}

TEST(Catalogue, DeviceNamesAndDefaults)
{
    TempDir dir;
    const std::string path = catalogueFile(dir.path());
    // A missing catalogue: "none" only, every key its default.
    TIniFile missing(path);
    EXPECT_EQ(deviceNames(missing), std::vector<std::string> {"none"});
    const TDeviceEntry d = readDevice(missing, "Nameless");
    EXPECT_EQ(d.type, "VT100");
    EXPECT_EQ(d.baud, 6);
    EXPECT_EQ(d.stopBits, 2);
    EXPECT_EQ(d.dataBits, 4);
    EXPECT_FALSE(d.echo);
    EXPECT_FALSE(d.cts);
    EXPECT_EQ(d.tabs, "");

    writeFileAtomically(path, "[tools]\ndevices=d1,d2,d3,d4,d5,d6,d7,d8,d9,d10,\n"
                              "[D1]\nType=ASI\nBaud=x12\nEcho=on\nCTS=ON\nInit=#27c,#27d,;one, two\n"
                              "IDstring=#27[c ; ask\n");
    const auto names = deviceNames(TIniFile(path));
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names.back(), "d8");
    const TDeviceEntry d1 = readDevice(TIniFile(path), "d1");
    EXPECT_TRUE(d1.isAsi());
    EXPECT_EQ(d1.baud, 6); // not a number: the default
    EXPECT_TRUE(d1.echo);
    EXPECT_FALSE(d1.cts); // "on" only
    const TDeviceStrings s = deviceStrings(d1);
    EXPECT_EQ(s.init, (std::vector<std::string> {"\x1b" "c", "\x1b" "d"}));
    EXPECT_EQ(s.id, "\x1b[c");

    TDeviceEntry bad = d1;
    bad.init = "#27c,#9x";
    EXPECT_THROW(deviceStrings(bad), EConvertError);
}

TEST(Catalogue, MarkerAndIntroPage)
{
    const std::string web = "http://site.example/qxtools/", local = "file:///tools/";
    TIntroChoice c = introChoice("", web, local);
    EXPECT_EQ(c.toolsBaseUrl, local);
    EXPECT_EQ(c.page, "defaultLocal.htm");
    EXPECT_EQ(c.publishedVersion, "");
    c = introChoice("QXT,1.02,5\r\n", web, local);
    EXPECT_EQ(c.toolsBaseUrl, web);
    EXPECT_EQ(c.page, "defaultInet.htm");
    EXPECT_EQ(c.publishedVersion, "5");
    c = introChoice("QXT,1.03,5", web, local);
    EXPECT_EQ(c.page, "defaultUpdate.htm");
    c = introChoice("<html>Not found</html>", web, local);
    EXPECT_EQ(c.toolsBaseUrl, local);

    // The marker is fetched once per address, a failure included.
    int fetches = 0;
    auto fetch = [&](const std::string& url) {
        ++fetches;
        return url == "http://a.example/qxtools/marker.txt" ? std::string("QXT,1.02,2") : std::string();
    };
    EXPECT_EQ(markerText("http://a.example/qxtools/", fetch), "QXT,1.02,2");
    EXPECT_EQ(markerText("http://a.example/qxtools/", fetch), "QXT,1.02,2");
    EXPECT_EQ(markerText("http://b.example/qxtools/", fetch), "");
    EXPECT_EQ(markerText("http://b.example/qxtools/", fetch), "");
    EXPECT_EQ(fetches, 2);
}

TEST(Catalogue, UpdateOfferAndReplacement)
{
    TempDir dir;
    const std::string path = catalogueFile(dir.path());
    const std::string old = "[TOOLS]\nDevices=none,A,\nVersion=1\n";
    writeFileAtomically(path, old);
    const TIniFile ini(path);
    EXPECT_FALSE(catalogueUpdateOffered(ini, ""));
    EXPECT_FALSE(catalogueUpdateOffered(ini, "1"));
    EXPECT_TRUE(catalogueUpdateOffered(ini, "2"));
    writeFileAtomically(dir.path() + "noversion.ini", "[TOOLS]\nDevices=none\n");
    EXPECT_FALSE(catalogueUpdateOffered(TIniFile(dir.path() + "noversion.ini"), "2"));

    // Anything not starting with "[TOOLS]" leaves the file untouched.
    EXPECT_FALSE(replaceCatalogue(path, "", "2"));
    EXPECT_FALSE(replaceCatalogue(path, "<html>404</html>", "2"));
    EXPECT_FALSE(replaceCatalogue(path, " [TOOLS]\n", "2"));
    EXPECT_EQ(readAll(path), old);

    EXPECT_TRUE(replaceCatalogue(path, "[TOOLS]\nDevices=none,A,B,\nVersion=1\n[B]\nDescription=new", "2"));
    EXPECT_EQ(deviceNames(TIniFile(path)), (std::vector<std::string> {"none", "A", "B"}));
    EXPECT_EQ(TIniFile(path).ReadString("TOOLS", "Version", ""), "2");
    EXPECT_EQ(TIniFile(path).ReadString("B", "Description", ""), "new");

    // A folder that cannot be written: an error, and the old file stays.
    if (::geteuid() != 0) {
        ::chmod(dir.path().c_str(), 0555);
        EXPECT_THROW(replaceCatalogue(path, "[TOOLS]\nDevices=none\n", "3"), EIniFileError);
        ::chmod(dir.path().c_str(), 0755);
        EXPECT_EQ(TIniFile(path).ReadString("TOOLS", "Version", ""), "2");
    }
}
