#include "platform/plist/property_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/files.h"

namespace fs = std::filesystem;

namespace {

const fs::path k_corpus = fs::path(CORVANA_SOURCE_DIR) / "tests/corpus/property_list";

using tests::read_file;
using tests::write_file;

plist_t string_array(std::initializer_list<const char*> texts) {
    plist_t array = plist_new_array();
    for (const char* text : texts) {
        plist_array_append_item(array, plist_new_string(text));
    }
    return array;
}

// The agent job file as the application install writes it, keys added out of order.
plist_node_t agent_job() {
    plist_node_t job(plist_new_dict());
    plist_dict_set_item(job.get(), "WorkingDirectory",
                        plist_new_string("/Applications/Corvana.app"));
    plist_dict_set_item(job.get(), "RunAtLoad", plist_new_bool(1));
    plist_dict_set_item(job.get(), "Label", plist_new_string("com.quillmark.corvana.Frontend"));
    plist_dict_set_item(
        job.get(), "ProgramArguments",
        string_array({"/Applications/Corvana.app/Contents/MacOS/Corvana", "--agent-frontend"}));
    plist_dict_set_item(job.get(), "KeepAlive", plist_new_bool(0));
    plist_dict_set_item(job.get(), "LaunchOnlyOnce", plist_new_bool(1));
    plist_dict_set_item(job.get(), "Disabled", plist_new_bool(0));
    return job;
}

std::string bytes_of(std::size_t count, char first) {
    std::string bytes;
    for (std::size_t i = 0; i < count; ++i) {
        bytes += static_cast<char>(first + static_cast<char>(i % 26));
    }
    return bytes;
}

// One value of every kind, nested so that data lines are written at three indentations.
plist_node_t every_kind() {
    plist_node_t root(plist_new_dict());
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("a<b>&c \"quoted\" 'single'"));
    plist_array_append_item(array, plist_new_array());
    plist_array_append_item(array, plist_new_dict());
    plist_array_append_item(array, plist_new_string(""));
    plist_dict_set_item(root.get(), "Array", array);
    const std::string data = bytes_of(52, 'a');
    plist_dict_set_item(root.get(), "Data", plist_new_data(data.data(), data.size()));
    plist_dict_set_item(root.get(), "Empty data", plist_new_data("", 0));

    plist_t deep = plist_new_dict();
    const std::string long_data = bytes_of(60, 'A');
    plist_dict_set_item(deep, "Data", plist_new_data(long_data.data(), long_data.size()));
    plist_t nested = plist_new_dict();
    plist_dict_set_item(nested, "Deep", deep);
    plist_dict_set_item(nested, "Data", plist_new_data("xyz", 3));
    plist_dict_set_item(root.get(), "Nested", nested);

    plist_dict_set_item(root.get(), "Date", plist_new_date(1000000000, 250000));
    plist_dict_set_item(root.get(), "Date before 2001", plist_new_date(-86400 * 366 - 1, 0));
    plist_dict_set_item(root.get(), "Integer", plist_new_uint(static_cast<uint64_t>(-5)));
    plist_dict_set_item(root.get(), "Big", plist_new_uint(4294967296ULL));
    plist_dict_set_item(root.get(), "Half", plist_new_real(0.5));
    plist_dict_set_item(root.get(), "Three", plist_new_real(3.0));
    plist_dict_set_item(root.get(), "Tenth", plist_new_real(0.1));
    plist_dict_set_item(root.get(), "UID", plist_new_uid(7));
    plist_dict_set_item(root.get(), "a lower case key", plist_new_bool(0));
    plist_dict_set_item(root.get(), "Z", plist_new_bool(1));
    plist_dict_set_item(root.get(), "Z\u00e9 & <key>", plist_new_bool(1));
    return root;
}

plist_node_t nested_arrays(int depth) {
    plist_node_t root(plist_new_array());
    plist_t innermost = root.get();
    for (int i = 1; i < depth; ++i) {
        plist_t next = plist_new_array();
        plist_array_append_item(innermost, next);
        innermost = next;
    }
    return root;
}

bool bool_value(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    uint8_t value = 0;
    if (node != nullptr) {
        plist_get_bool_val(node, &value);
    }
    return value != 0;
}

class PropertyListFilesTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / "property_list_test";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Names in the directory, so that a test can see that no temporary file was left behind.
    std::vector<std::string> names() const {
        std::vector<std::string> result;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            result.push_back(entry.path().filename());
        }
        std::sort(result.begin(), result.end());
        return result;
    }

    fs::path dir_;
};

}  // namespace

TEST(PropertyListTextTest, JobFileMatchesThePlatformForm) {
    const plist_node_t job = agent_job();
    EXPECT_EQ(xml_property_list_text(job.get()).value_or(""),
              read_file(k_corpus / "agent_job_file.xml"));
}

TEST(PropertyListTextTest, EveryKindOfValueMatchesThePlatformForm) {
    const plist_node_t root = every_kind();
    EXPECT_EQ(xml_property_list_text(root.get()).value_or(""),
              read_file(k_corpus / "every_kind.xml"));
}

TEST(PropertyListTextTest, XmlAndBinaryInputGiveTheSameXml) {
    for (const char* golden : {"agent_job_file.xml", "every_kind.xml"}) {
        SCOPED_TRACE(golden);
        const std::string xml = read_file(k_corpus / golden);
        auto parsed =
            parse_property_list(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(xml_property_list_text(parsed->get()).value_or(""), xml);

        char* binary = nullptr;
        uint32_t length = 0;
        plist_to_bin(parsed->get(), &binary, &length);
        ASSERT_NE(binary, nullptr);
        const std::string bytes(binary, length);
        plist_to_bin_free(binary);
        auto from_binary =
            parse_property_list(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        ASSERT_TRUE(from_binary);
        EXPECT_EQ(xml_property_list_text(from_binary->get()).value_or(""), xml);
    }
}

TEST(PropertyListTextTest, NestingIsBoundedBothWays) {
    const plist_node_t deepest_allowed = nested_arrays(k_property_list_max_depth);
    const auto text = xml_property_list_text(deepest_allowed.get());
    ASSERT_TRUE(text);
    EXPECT_TRUE(
        parse_property_list(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));

    const plist_node_t too_deep = nested_arrays(k_property_list_max_depth + 1);
    EXPECT_FALSE(xml_property_list_text(too_deep.get()));
    std::string hostile = "<plist version=\"1.0\">";
    for (int i = 0; i <= k_property_list_max_depth; ++i) {
        hostile += "<array>";
    }
    for (int i = 0; i <= k_property_list_max_depth; ++i) {
        hostile += "</array>";
    }
    hostile += "</plist>";
    EXPECT_FALSE(
        parse_property_list(reinterpret_cast<const std::uint8_t*>(hostile.data()), hostile.size()));
}

TEST_F(PropertyListFilesTest, ReadsRegularFilesAndRefusesEverythingElse) {
    write_file(dir_ / "job.plist", read_file(k_corpus / "agent_job_file.xml"));
    auto job = read_property_list(dir_ / "job.plist");
    ASSERT_TRUE(job);
    EXPECT_TRUE(bool_value(job->get(), "RunAtLoad"));

    EXPECT_FALSE(read_property_list(dir_ / "missing.plist"));
    fs::create_directory(dir_ / "directory.plist");
    EXPECT_FALSE(read_property_list(dir_ / "directory.plist"));
    write_file(dir_ / "garbage.plist", "<plist><dict><key>");
    EXPECT_FALSE(read_property_list(dir_ / "garbage.plist"));

    // A FIFO nobody writes to would block a plain open for ever.
    ASSERT_EQ(::mkfifo((dir_ / "fifo.plist").c_str(), 0600), 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(read_property_list(dir_ / "fifo.plist"));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_FALSE(read_property_list("/dev/zero"));
}

TEST_F(PropertyListFilesTest, RefusesFilesAboveTheSizeBound) {
    // Valid XML padded with trailing blanks, so only the size can make it unreadable.
    const std::string xml = read_file(k_corpus / "agent_job_file.xml");
    write_file(dir_ / "at_bound.plist",
               xml + std::string(k_property_list_max_bytes - xml.size(), ' '));
    write_file(dir_ / "above_bound.plist",
               xml + std::string(k_property_list_max_bytes - xml.size() + 1, ' '));
    EXPECT_TRUE(read_property_list(dir_ / "at_bound.plist"));
    EXPECT_FALSE(read_property_list(dir_ / "above_bound.plist"));
}

TEST_F(PropertyListFilesTest, SymbolicLinksAreFollowedOnlyWhenAsked) {
    write_file(dir_ / "target.plist", read_file(k_corpus / "agent_job_file.xml"));
    fs::create_symlink(dir_ / "target.plist", dir_ / "link.plist");
    EXPECT_TRUE(read_property_list(dir_ / "link.plist", symlink_policy_t::follow));
    EXPECT_FALSE(read_property_list(dir_ / "link.plist", symlink_policy_t::refuse));
}

TEST_F(PropertyListFilesTest, AtomicWriteKeepsModeAndOwnerOfTheFileItReplaces) {
    const fs::path path = dir_ / "job.plist";
    write_file(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(::chown(path.c_str(), 1, 2), 0);

    const plist_node_t job = agent_job();
    ASSERT_TRUE(write_xml_property_list_atomically(path, job.get()));
    EXPECT_EQ(read_file(path), read_file(k_corpus / "agent_job_file.xml"));
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(status.st_uid, 1u);
    EXPECT_EQ(status.st_gid, 2u);
    EXPECT_EQ(names(), std::vector<std::string>{"job.plist"});

    ASSERT_TRUE(write_xml_property_list_atomically(dir_ / "new.plist", job.get()));
    ASSERT_EQ(::stat((dir_ / "new.plist").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
}

TEST_F(PropertyListFilesTest, AtomicWriteNeverWritesThroughALinkOrADirectory) {
    write_file(dir_ / "target", "precious");
    fs::create_symlink(dir_ / "target", dir_ / "link.plist");
    const plist_node_t job = agent_job();
    ASSERT_TRUE(write_xml_property_list_atomically(dir_ / "link.plist", job.get()));
    EXPECT_EQ(read_file(dir_ / "target"), "precious");
    EXPECT_FALSE(fs::is_symlink(dir_ / "link.plist"));

    fs::create_directory(dir_ / "directory.plist");
    write_file(dir_ / "directory.plist" / "inside", "kept");
    EXPECT_FALSE(write_xml_property_list_atomically(dir_ / "directory.plist", job.get()));
    EXPECT_EQ(read_file(dir_ / "directory.plist" / "inside"), "kept");
    EXPECT_EQ(names(), (std::vector<std::string>{"directory.plist", "link.plist", "target"}));

    EXPECT_FALSE(write_xml_property_list_atomically(dir_ / "no such dir" / "job.plist", job.get()));
}
