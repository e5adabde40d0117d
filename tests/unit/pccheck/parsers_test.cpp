// The files others write that the PC check reads: os-release style files, reader driver
// property lists, NSS module lists. Good files, damaged ones, and huge ones.
#include "pccheck/info_plist.h"
#include "pccheck/key_value_file.h"
#include "pccheck/nss_module_list.h"
#include "test_folder.h"

#include <gtest/gtest.h>

namespace {

using namespace velin::pccheck;

TEST(Key_value_file, quoting_comments_and_damage)
{
    const Key_values values = parse_key_values("# comment\n[App]\nPRETTY_NAME=\"Debian \\\"GNU\\\"/Linux\"\r\n"
                                               "ID=debian\nVERSION_ID='12'\n  SPACED = value  \n=novalue\nnoequals\n"
                                               "OPEN=\"never closed\nEMPTY=\n");
    EXPECT_EQ(values.at("PRETTY_NAME"), "Debian \"GNU\"/Linux");
    EXPECT_EQ(values.at("ID"), "debian");
    EXPECT_EQ(values.at("VERSION_ID"), "12");
    EXPECT_EQ(values.at("SPACED"), "value");
    EXPECT_EQ(values.at("OPEN"), "never closed");
    EXPECT_EQ(values.at("EMPTY"), "");
    EXPECT_EQ(values.count(""), 0u);
    EXPECT_EQ(values.size(), 6u);
    EXPECT_TRUE(parse_key_values("").empty());
    EXPECT_TRUE(parse_key_values(std::string("\0\0=\0", 4)).size() <= 1);
    EXPECT_EQ(parse_key_values("ID=\"").at("ID"), "");
    EXPECT_EQ(parse_key_values("ID=\"a\\").at("ID"), "a\\");

    const Key_values conf = parse_reader_conf("FRIENDLYNAME \"Virtual PCD\"\nLIBPATH\t/usr/lib/x.so\nALONE\n");
    EXPECT_EQ(conf.at("FRIENDLYNAME"), "Virtual PCD");
    EXPECT_EQ(conf.at("LIBPATH"), "/usr/lib/x.so");
    EXPECT_EQ(conf.count("ALONE"), 0u);
}

TEST(Key_value_file, huge_or_special_files_are_not_read)
{
    velin::test::Test_folder folder;
    velin::test::write_file(folder / "huge", std::string(200 * 1024, 'A'));
    EXPECT_FALSE(read_small_file((folder / "huge").string()).has_value());
    EXPECT_FALSE(read_key_values((folder / "missing").string()).has_value());
    EXPECT_FALSE(read_small_file(folder.path().string()).has_value());
    EXPECT_FALSE(read_small_file("/dev/zero").has_value());
    velin::test::write_file(folder / "ok", "ID=debian");
    EXPECT_EQ(read_key_values((folder / "ok").string())->at("ID"), "debian");
}

TEST(Info_plist, driver_properties_and_damaged_lists)
{
    const Property_list list = parse_info_plist(
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist>\n<plist version=\"1.0\">\n<dict>\n"
        "<!-- <key>Hidden</key><string>no</string> -->\n"
        "\t<key>CFBundleExecutable</key>\n\t<string>libccid.so</string>\n"
        "\t<key>ifdCapabilities</key>\n\t<string>0x00000000</string>\n"
        "\t<key>ifdVendorID</key>\n\t<array>\n\t\t<string>0x072F</string>\n\t\t<string>0x08E6</string>\n\t</array>\n"
        "\t<key>Nested</key><dict><key>CFBundleExecutable</key><string>inner</string></dict>\n"
        "\t<key>Number</key><integer>3</integer>\n"
        "\t<key>EmptyOne</key><string/>\n"
        "\t<key>CFBundleName</key><string>A &lt;b&gt; &amp;c &unknown;</string>\n"
        "</dict>\n</plist>\n");
    EXPECT_EQ(first_value(list, "CFBundleExecutable"), "libccid.so");
    EXPECT_EQ(list.at("ifdVendorID"), (std::vector<std::string>{"0x072F", "0x08E6"}));
    EXPECT_EQ(first_value(list, "CFBundleName"), "A <b> &c &unknown;");
    EXPECT_EQ(list.count("Hidden"), 0u);
    EXPECT_EQ(list.count("Number"), 0u);
    EXPECT_EQ(first_value(list, "EmptyOne"), "");
    EXPECT_EQ(first_value(list, "Missing"), "");

    // Cut anywhere, the list holds what came before the cut.
    const std::string whole = "<plist><dict><key>CFBundleExecutable</key><string>libccid.so</string>"
                              "<key>CFBundleShortVersionString</key><string>1.5.2</string></dict></plist>";
    for (size_t cut = 0; cut <= whole.size(); ++cut) {
        const Property_list part = parse_info_plist(whole.substr(0, cut));
        if (cut >= whole.find("</string>") + 9) {
            EXPECT_EQ(first_value(part, "CFBundleExecutable"), "libccid.so") << cut;
        }
    }
    // Unbalanced and hostile markup.
    EXPECT_TRUE(parse_info_plist("</dict></dict><key>a</key><string>b</string>").empty());
    EXPECT_TRUE(parse_info_plist("<dict><key>a</key><key>b</key><<<<>>>>").size() <= 2);
    std::string many = "<dict><key>k</key><array>";
    for (int i = 0; i < 10000; ++i)
        many += "<string>v</string>";
    EXPECT_EQ(parse_info_plist(many + "</array></dict>").at("k").size(), 4096u);
}

TEST(Nss_module_list, modules_of_a_profile)
{
    const std::vector<Nss_module> modules = parse_nss_module_list(
        "library=\nname=NSS Internal PKCS #11 Module\nparameters=configdir='sql:/home/x' \nNSS=Flags=internal\n\n"
        "library=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so\nname=\"Carta Velin\"\n\r\n"
        "name=Solo nome\nlibrary=libsofthsm2.so\n");
    ASSERT_EQ(modules.size(), 3u);
    EXPECT_EQ(modules[0].library, "");
    EXPECT_EQ(modules[1].name, "Carta Velin");
    EXPECT_EQ(modules[2].library, "libsofthsm2.so");
    EXPECT_TRUE(lists_module(modules, "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"));
    EXPECT_TRUE(lists_module(modules, "/usr/lib/softhsm/libsofthsm2.so"));
    EXPECT_FALSE(lists_module(modules, "/usr/lib/other.so"));
    EXPECT_FALSE(lists_module(modules, ""));
    EXPECT_TRUE(parse_nss_module_list("").empty());
    EXPECT_TRUE(parse_nss_module_list("library").empty());
    std::string many;
    for (int i = 0; i < 5000; ++i)
        many += "library=/x" + std::to_string(i) + ".so\n";
    EXPECT_EQ(parse_nss_module_list(many).size(), 1024u);
}

} // namespace
