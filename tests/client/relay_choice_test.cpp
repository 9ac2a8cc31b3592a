// Which relay the client starts with: the four sources in their order, one parser for every
// address, relay.txt's comments and bad lines, and what the user is told.
#include "client/relay_choice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "client/client_core.h"
#include "client/relay_file.h"
#include "fake_client_view.h"
#include "temp_folder.h"

using namespace kavro;
using namespace kavro::test;

namespace {

const RelayAddress kBuiltIn{"built.in", "47475"};

std::string text_of(const RelayAddress& a) { return a.host + ":" + a.port; }

struct RelayFolder {
    TempFolder folder;
    std::filesystem::path file() const { return folder.path() / "relay.txt"; }
    void write(const std::string& content) const {
        write_file(file(), std::vector<std::uint8_t>(content.begin(), content.end()));
    }
    RelaySources sources() const {
        RelaySources s;
        s.relay_file = file();
        s.built_in = kBuiltIn;
        return s;
    }
};

void set_variable(const char* value) {
#ifdef _WIN32
    _putenv_s("KAVRO_RELAY", value == nullptr ? "" : value);
#else
    if (value == nullptr) {
        unsetenv("KAVRO_RELAY");
    } else {
        setenv("KAVRO_RELAY", value, 1);
    }
#endif
}

}  // namespace

TEST(RelayChoice, TheFirstSourcePresentWinsArgumentThenVariableThenFileThenBuiltIn) {
    RelayFolder f;
    f.write("# a league's relay\nfile.host:5003\n");
    RelaySources s = f.sources();
    s.argument = "argument.host:5001";
    s.environment = "variable.host:5002";
    struct Step {
        RelaySource source;
        std::string address;
    };
    const Step steps[] = {{RelaySource::kCommandLine, "argument.host:5001"},
                          {RelaySource::kEnvironment, "variable.host:5002"},
                          {RelaySource::kRelayFile, "file.host:5003"},
                          {RelaySource::kBuiltIn, "built.in:47475"}};
    for (const Step& step : steps) {
        const RelayChoice choice = choose_relay(s);
        EXPECT_EQ(choice.source, step.source);
        EXPECT_EQ(text_of(choice.address), step.address);
        EXPECT_EQ(choice.problem, "");
        // Take away the source that won: the next one wins.
        if (s.argument) {
            s.argument.reset();
        } else if (s.environment) {
            s.environment.reset();
        } else {
            std::filesystem::remove(f.file());
        }
    }
    f.write("# only comments and blank lines: no address, nothing to say\n\n   \n");
    EXPECT_EQ(choose_relay(s).source, RelaySource::kBuiltIn);
    EXPECT_EQ(choose_relay(s).problem, "");

    // What the program finds: an empty argument or variable is no source at all.
    set_variable("");
    EXPECT_FALSE(relay_sources(std::string(), f.folder.path()).environment);
    EXPECT_FALSE(relay_sources(std::string(), f.folder.path()).argument);
    set_variable("from.variable");
    const RelaySources found = relay_sources(std::nullopt, f.folder.path());
    EXPECT_EQ(found.environment, "from.variable");
    EXPECT_EQ(found.relay_file, f.file());
    EXPECT_EQ(text_of(found.built_in), text_of(built_in_relay_address()));
    set_variable(nullptr);
}

TEST(RelayChoice, EveryAddressIsReadAlikeAndABadOneIsReportedWhileTheBuiltInIsUsed) {
    struct Case {
        std::string text;
        std::string address;  // empty: not an address
        std::string problem;  // part of the message
    };
    const Case cases[] = {
        {"relay.example.org", "relay.example.org:47475", ""},
        {"  10.0.0.7:5000\t", "10.0.0.7:5000", ""},
        {"relay.example.org:047475", "relay.example.org:47475", ""},
        {"host:1", "host:1", ""},
        {"host:65535", "host:65535", ""},
        {":5000", "", "the host name is empty"},
        {"host:0", "", "the port \"0\" is not a number from 1 to 65535"},
        {"host:65536", "", "the port \"65536\" is not a number from 1 to 65535"},
        {"host:", "", "the port \"\" is not a number from 1 to 65535"},
        {"host:47475x", "", "the port \"47475x\" is not"},
        {"host:-1", "", "the port \"-1\" is not"},
        {"relay example.org", "", "the host name \"relay example.org\" holds a blank"},
        {"re\x01lay", "", "the host name \"re?lay\" holds a blank or a control character"},
        {"::1", "", "it holds more than one colon"},
        {std::string(255, 'h'), std::string(255, 'h') + ":47475", ""},
        {std::string(256, 'h'), "", "it is longer than 255 characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        RelaySources s;
        s.built_in = kBuiltIn;
        s.environment = c.text;
        RelayChoice choice = choose_relay(s);
        if (!c.address.empty()) {
            EXPECT_EQ(text_of(choice.address), c.address);
            EXPECT_EQ(choice.source, RelaySource::kEnvironment);
            EXPECT_EQ(choice.problem, "");
            continue;
        }
        EXPECT_EQ(choice.source, RelaySource::kBuiltIn);
        EXPECT_EQ(text_of(choice.address), "built.in:47475");
        EXPECT_NE(choice.problem.find(" in KAVRO_RELAY cannot be used: " + c.problem),
                  std::string::npos)
            << choice.problem;
        EXPECT_NE(choice.problem.find("\n\nThe built-in relay built.in:47475 is used instead."),
                  std::string::npos);
        // The same text on the command line says the same, naming the command line.
        s.argument = c.text;
        choice = choose_relay(s);
        EXPECT_NE(choice.problem.find(" on the command line cannot be used: " + c.problem),
                  std::string::npos)
            << choice.problem;
    }
    // A long text is cut short in the message.
    RelaySources s;
    s.argument = std::string(300, 'h');
    EXPECT_NE(choose_relay(s).problem.find("\"" + std::string(40, 'h') + "...\""),
              std::string::npos);
}

TEST(RelayFile, CommentsBlankLinesAndLineEndsAreIgnoredAndABadFileNamesItsLine) {
    RelayFolder f;
    const std::string name = path_text(f.file());
    struct Case {
        std::string content;
        std::string address;  // empty: the built-in address, with `problem`
        std::string problem;
    };
    const Case cases[] = {
        {"relay.example.org", "relay.example.org:47475", ""},
        {"\xEF\xBB\xBF# saved by Notepad\r\n\r\n  relay.example.org:5000  # ours\r\n",
         "relay.example.org:5000", ""},
        {"#one\n#two\n\n\t\nhost:7\n# after\n", "host:7", ""},
        {"# c\n\nhost:99999\n", "", name + ", line 3, cannot be used: the port \"99999\""},
        {"\n:47475\n", "", name + ", line 2, cannot be used: the host name is empty"},
        {"\n\n\n" + std::string(256, 'x'), "", name + ", line 4, cannot be used: it is longer"},
        {"one.host\n# comment\ntwo.host\n", "",
         name + ", line 3, holds a second relay address, \"two.host\": the file may hold only "
                "one (line 1 holds the first)."},
        {"\xFF\xFEh\0o\0s\0t\0", "", name + " is saved as UTF-16"},
        {std::string(kMaxRelayFileSize + 1, '#'), "", name + " is larger than 64 KiB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 60));
        f.write(c.content);
        const RelayChoice choice = choose_relay(f.sources());
        if (!c.address.empty()) {
            EXPECT_EQ(choice.source, RelaySource::kRelayFile);
            EXPECT_EQ(text_of(choice.address), c.address);
            EXPECT_EQ(choice.problem, "");
        } else {
            EXPECT_EQ(choice.source, RelaySource::kBuiltIn);
            EXPECT_EQ(text_of(choice.address), "built.in:47475");
            EXPECT_NE(choice.problem.find(c.problem), std::string::npos) << choice.problem;
            EXPECT_NE(choice.problem.find("The built-in relay built.in:47475 is used instead."),
                      std::string::npos);
        }
    }
    // A relay.txt that is there but cannot be read is said so, not passed over.
    std::filesystem::remove(f.file());
    std::filesystem::create_directory(f.file());
    EXPECT_NE(choose_relay(f.sources()).problem.find(name + " cannot be read."), std::string::npos);
}

TEST(RelayChoice, TheUserIsToldOfABadAddressFirstAndTheLogNamesTheRelayAndItsSource) {
    RelayFolder f;
    f.write("bad host\n");
    FakeClientView view;
    TcpConnection tcp1;
    ClientCore core(view, tcp1);
    core.show_relay_choice(choose_relay(f.sources()));
    ASSERT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.messages[0],
              "The relay address \"bad host\" in " + path_text(f.file()) +
                  ", line 1, cannot be used: the host name \"bad host\" holds a blank or a control "
                  "character.\n\nThe built-in relay built.in:47475 is used instead.");
    EXPECT_EQ(view.log, std::vector<std::string>{"Relay: built.in:47475 (built in)"});

    f.write("good.host:6000\n");
    core.show_relay_choice(choose_relay(f.sources()));
    EXPECT_EQ(view.messages.size(), 1u);
    EXPECT_EQ(view.log.back(), "Relay: good.host:6000 (from relay.txt)");
    RelaySources s;
    s.environment = "variable.host";
    s.built_in = kBuiltIn;
    EXPECT_EQ(relay_log_line(choose_relay(s)), "Relay: variable.host:47475 (from KAVRO_RELAY)");
    s.argument = "argument.host:1";
    EXPECT_EQ(relay_log_line(choose_relay(s)), "Relay: argument.host:1 (from the command line)");
}
