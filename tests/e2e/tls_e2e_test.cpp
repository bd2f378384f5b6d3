// TLS on the TCP road against real peers: a test CA made with the openssl command signs the
// server's certificates; openssl s_client, the command-line client and the components connect.
// Refused certificates say why; a relay between client and server sees neither the password
// nor the SQL; a 3 MiB download over TLS arrives whole and resumes after a cut. Password
// guessing is held back per address, and the password file is refused when others can read it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "components/connection.h"
#include "components/update_file.h"
#include "protocol/error_codes.h"
#include "support/file_peer.h"
#include "support/raw_client.h"
#include "support/relay.h"
#include "support/run_program.h"
#include "support/server_fixture.h"

namespace larkspire {
namespace {

namespace fs = std::filesystem;
using test::RunCli;
using test::RunProgram;
using test::TRawClient;
using test::TRelay;
using test::TServerProcess;

const char kOpenssl[] = "/usr/bin/openssl";
const char kPassword[] = "Tr0ub4dor&3-kept-secret";

void WriteFile(const fs::path& path, const std::string& text, fs::perms perms) {
  std::ofstream(path, std::ios::binary) << text;
  fs::permissions(path, perms);
}

// The certificates of the tests, made once with the openssl command: a CA, a server
// certificate it signs for localhost and 127.0.0.1, one it signed for a month long past, and a
// second CA that signed nothing here.
class TestPki {
 public:
  static TestPki& Get() {
    static TestPki pki;
    return pki;
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  const std::string& Failure() const { return failure_; }

 private:
  TestPki() {
    dir_ = fs::temp_directory_path() / ("lk-tls-pki-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    std::ofstream(dir_ / "ext.cnf") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
    std::ofstream(dir_ / "index.txt");
    std::ofstream(dir_ / "serial") << "1000\n";
    std::ofstream(dir_ / "ca.cnf") << "[ca]\ndefault_ca=test\n[test]\ndir=" << dir_.string()
                                   << "\ndatabase=$dir/index.txt\nnew_certs_dir=$dir\n"
                                      "serial=$dir/serial\ndefault_md=sha256\npolicy=any\n"
                                      "unique_subject=no\n[any]\ncommonName=supplied\n";
    for (const char* ca : {"ca", "other-ca"}) {
      Run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
           std::string("/CN=Larkspire test ") + ca, "-keyout", Path(std::string(ca) + ".key"),
           "-out", Path(std::string(ca) + ".pem")});
    }
    for (const char* name : {"server", "expired"}) {
      Run({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=localhost", "-keyout",
           Path(std::string(name) + ".key"), "-out", Path(std::string(name) + ".csr")});
    }
    Run({"x509", "-req", "-in", Path("server.csr"), "-CA", Path("ca.pem"), "-CAkey", Path("ca.key"),
         "-CAcreateserial", "-days", "30", "-extfile", Path("ext.cnf"), "-out",
         Path("server.pem")});
    Run({"ca", "-batch", "-notext", "-config", Path("ca.cnf"), "-cert", Path("ca.pem"), "-keyfile",
         Path("ca.key"), "-in", Path("expired.csr"), "-startdate", "20200101000000Z", "-enddate",
         "20200201000000Z", "-extfile", Path("ext.cnf"), "-out", Path("expired.pem")});
  }
  ~TestPki() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  void Run(const std::vector<std::string>& args) {
    const auto result = RunProgram(kOpenssl, args);
    if (result.exit_code != 0 && failure_.empty()) failure_ = args[0] + ": " + result.err;
  }

  fs::path dir_;
  std::string failure_;
};

std::vector<std::string> TlsArgs(const std::string& certificate = "server") {
  const TestPki& pki = TestPki::Get();
  return {"--tls-cert", pki.Path(certificate + ".pem"), "--tls-key",
          pki.Path(certificate + ".key")};
}

class TlsE2ETest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(TestPki::Get().Failure(), ""); }
  static std::string Ca() { return TestPki::Get().Path("ca.pem"); }
};

TEST_F(TlsE2ETest, RealClientsSpeakTls13AndAPlaintextPeerIsToldAtOnce) {
  std::vector<std::string> args = TlsArgs();
  args.insert(args.end(), {"--plain-port", "0"});
  TServerProcess server(args);
  const std::string port = std::to_string(server.Port());

  const auto s_client =
      RunProgram(kOpenssl,
                 {"s_client", "-connect", "127.0.0.1:" + port, "-tls1_3", "-CAfile", Ca(),
                  "-verify_return_error", "-verify_hostname", "localhost"},
                 test::TProgramInput{}, 15000);
  EXPECT_NE(s_client.out.find("New, TLSv1.3"), std::string::npos) << s_client.out;
  EXPECT_NE(s_client.out.find("Verify return code: 0 (ok)"), std::string::npos);

  auto cli = RunCli({"-H", "localhost", "-p", port, "--tls", "--tls-ca", Ca(), "query",
                     "select count(*) as n from products", "--format", "csv"});
  EXPECT_EQ(cli.exit_code, 0) << cli.err;
  EXPECT_EQ(cli.out, "n\n45\n");
  // The environment does what the options do; 127.0.0.1 matches the certificate's IP entry.
  cli = RunCli({"-p", port, "status"},
               test::TProgramInput{"", {"LARKSPIRE_TLS=1", "LARKSPIRE_TLS_CA=" + Ca()}});
  EXPECT_EQ(cli.exit_code, 0) << cli.err;

  // A client without TLS on the TLS port is refused in plaintext, not left waiting.
  const auto started = std::chrono::steady_clock::now();
  cli = RunCli({"-p", port, "status"});
  EXPECT_EQ(cli.exit_code, 2);
  EXPECT_NE(cli.err.find("error 100023"), std::string::npos) << cli.err;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // The plaintext port serves plaintext clients; a TLS client there fails with a reason.
  const std::string log = server.Log();
  const size_t plain_at = log.find("plaintext on port ");
  ASSERT_NE(plain_at, std::string::npos) << log;
  const std::string plain_port = std::to_string(std::stoi(log.substr(plain_at + 18)));
  cli = RunCli({"-p", plain_port, "status"});
  EXPECT_EQ(cli.exit_code, 0) << cli.err;
  cli = RunCli({"-p", plain_port, "--tls", "--tls-ca", Ca(), "status"});
  EXPECT_EQ(cli.exit_code, 2);
  EXPECT_NE(cli.err.find("error 10009"), std::string::npos) << cli.err;
}

TEST_F(TlsE2ETest, RefusedCertificatesSayWhyAndAreNotRetried) {
  TServerProcess server(TlsArgs());
  TServerProcess expired(TlsArgs("expired"));
  const std::string port = std::to_string(server.Port());
  struct TCase {
    std::vector<std::string> args;
    std::string reason;
  } cases[] = {
      {{"-p", port, "--tls-ca", TestPki::Get().Path("other-ca.pem")},
       "certificate verify failed: unable to get local issuer certificate"},
      {{"-p", std::to_string(expired.Port()), "--tls-ca", Ca()},
       "certificate verify failed: certificate has expired"},
      {{"-p", port, "--tls-ca", Ca(), "--tls-server-name", "db.example.org"},
       "certificate verify failed: hostname mismatch (expected \"db.example.org\")"},
  };
  for (const TCase& c : cases) {
    std::vector<std::string> args = c.args;
    args.push_back("status");
    const auto cli = RunCli(args);
    EXPECT_EQ(cli.exit_code, 2) << c.reason;
    EXPECT_NE(cli.err.find("error 10009"), std::string::npos) << cli.err;
    EXPECT_NE(cli.err.find(c.reason), std::string::npos) << cli.err;
  }
  // One TLS attempt per refusal: the server saw each client's handshake fail once (a session
  // logs as it ends, so the last line may come a little later).
  const auto Attempts = [&server] {
    const std::string log = server.Log();
    size_t attempts = 0;
    for (size_t at = log.find("TLS handshake failed"); at != std::string::npos;
         at = log.find("TLS handshake failed", at + 1))
      ++attempts;
    return attempts;
  };
  for (int wait = 0; wait < 100 && Attempts() < 2; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(Attempts(), 2u) << server.Log();
}

TEST_F(TlsE2ETest, ARelaySeesNeitherThePasswordNorTheSql) {
  const fs::path folder = fs::temp_directory_path() / ("lk-tls-pw-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  WriteFile(folder / "password", std::string(kPassword) + "\n",
            fs::perms::owner_read | fs::perms::owner_write);
  std::vector<std::string> args = TlsArgs();
  args.insert(args.end(), {"--password-file", (folder / "password").string()});
  TServerProcess server(args);
  TRelay relay(server.Port());
  const std::string marker = "needle_7f3a9c_marker";
  const auto cli =
      RunCli({"-p", std::to_string(relay.Port()), "--tls-ca", Ca(), "query",
              "select '" + marker + "' as " + marker + "_column", "--format", "csv"},
             test::TProgramInput{"", {std::string("LARKSPIRE_PASSWORD=") + kPassword}});
  EXPECT_EQ(cli.exit_code, 0) << cli.err;
  EXPECT_NE(cli.out.find(marker), std::string::npos);
  const std::string up = relay.Upstream();
  const std::string down = relay.Downstream();
  ASSERT_GT(up.size(), 100u);
  EXPECT_EQ(up[0], '\x16');  // a TLS handshake record
  for (const std::string& secret : {std::string(kPassword), marker}) {
    EXPECT_EQ(up.find(secret), std::string::npos) << secret;
    EXPECT_EQ(down.find(secret), std::string::npos) << secret;
  }
  // The wrong password is refused as before.
  const auto wrong = RunCli(
      {"-p", std::to_string(server.Port()), "--tls-ca", Ca(), "--password", "guess", "status"});
  EXPECT_NE(wrong.err.find("error 20002"), std::string::npos) << wrong.err;
  fs::remove_all(folder);
}

TEST_F(TlsE2ETest, AThreeMiBDownloadOverTlsIsIdenticalAndResumesAfterACut) {
  TServerProcess server(TlsArgs());
  const std::string bytes = test::PatternBytes(3 * 1024 * 1024 + 777, 9);
  const fs::path served = fs::path(server.DataDir()) / "files";
  ASSERT_TRUE(fs::is_directory(served) || fs::create_directories(served));
  // The server made its files folder at start; the file joins it.
  std::ofstream(served / "big.bin", std::ios::binary) << bytes;
  TRelay relay(server.Port());

  TLarkspireConnection connection;
  connection.SetRemotePort(relay.Port());
  connection.SetUseTls(true);
  connection.SetTlsCaFile(Ca());
  TLarkspireUpdateFile files;
  files.SetConnection(&connection);
  std::vector<bool> resumed;
  files.OnDownloadBegin = [&](const std::string&, int64_t, bool resume) {
    resumed.push_back(resume);
  };
  const std::string local = (fs::path(server.Folder()) / "big.copy").string();

  relay.CutAfter(1024 * 1024);
  EXPECT_THROW(files.DownloadFile("big.bin", local), ELarkspireException);
  // The broken transfer leaves the file at its size with the resume record after it.
  ASSERT_EQ(fs::file_size(local), bytes.size() + 32);

  connection.SetConnected(false);
  ASSERT_TRUE(files.DownloadFile("big.bin", local));
  EXPECT_EQ(resumed, (std::vector<bool>{false, true}));
  EXPECT_EQ(fs::file_size(local), bytes.size());
  EXPECT_EQ(test::FileChecksum(local), test::Checksum(bytes));
  EXPECT_EQ(relay.Downstream().find(bytes.substr(100000, 64)), std::string::npos);
}

// A command that needs the password; true when a reply came, with its code in code.
bool TryPassword(TRawClient& client, const std::string& password, int32_t& code) {
  TRemoteCommand request;
  TRemoteCommand reply;
  request.Code = cmdBeginTrans;
  request.Success = true;
  request.Password = password;
  if (!client.Execute(request, reply, 15000)) return false;
  code = reply.Success ? 0 : reply.Value;
  return true;
}

TEST_F(TlsE2ETest, GuessesFromOneAddressAreHeldToTheRateWhileAnotherGetsInAtOnce) {
  const fs::path folder = fs::temp_directory_path() / ("lk-tls-gs-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  // A password file others may read stops the start, with the reason.
  WriteFile(folder / "open", std::string(kPassword) + "\n",
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const auto start = RunProgram(test::ServerBinaryPath(),
                                {"--port", "0", "--password-file", (folder / "open").string()});
  EXPECT_EQ(start.exit_code, 2);
  EXPECT_NE(start.err.find("chmod 600"), std::string::npos) << start.err;
  fs::remove_all(folder);

  // The password from the environment this time.
  ::setenv("LARKSPIRE_SERVER_PASSWORD", kPassword, 1);
  TServerProcess server;
  ::unsetenv("LARKSPIRE_SERVER_PASSWORD");

  // Four connections from 127.0.0.1 guess as fast as they can for two seconds, reconnecting
  // when the server closes them after their third wrong password.
  constexpr auto kBurst = std::chrono::seconds(2);
  std::atomic<int> wrong{0};
  std::atomic<int> over_three{0};
  const auto burst_end = std::chrono::steady_clock::now() + kBurst;
  std::vector<std::thread> guessers;
  for (int i = 0; i < 4; ++i) {
    guessers.emplace_back([&, i] {
      int round = 0;
      while (std::chrono::steady_clock::now() < burst_end) {
        TRawClient client;
        if (!client.Connect(server.Port()) || client.Handshake("guesser", "g").Status != 1) return;
        int on_this_connection = 0;
        int32_t code = 0;
        while (std::chrono::steady_clock::now() < burst_end &&
               TryPassword(client, "guess-" + std::to_string(i) + "-" + std::to_string(round++),
                           code)) {
          if (code == kErrWrongPassword) ++wrong;
          if (++on_this_connection > 3) ++over_three;
        }
      }
    });
  }
  // Halfway through, the right password from another address gets in at once.
  std::this_thread::sleep_for(kBurst / 2);
  TRawClient other;
  ASSERT_TRUE(other.Connect(server.Port(), "127.0.0.1", "127.0.0.2"));
  ASSERT_EQ(other.Handshake("someone", "else").Status, 1);
  const auto asked = std::chrono::steady_clock::now();
  int32_t code = -1;
  ASSERT_TRUE(TryPassword(other, kPassword, code));
  EXPECT_EQ(code, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
  for (std::thread& guesser : guessers) guesser.join();

  // At most 20 a second from one address (plus the first, which waits for nothing).
  EXPECT_GT(wrong.load(), 3);
  EXPECT_LE(wrong.load(), 20 * 2 + 2);
  EXPECT_EQ(over_three.load(), 0);
  const std::string log = server.Log();
  EXPECT_NE(log.find("wrong password from peer 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("identity \"guesser\""), std::string::npos);
  EXPECT_NE(log.find("more wrong passwords in one second"), std::string::npos);
}

}  // namespace
}  // namespace larkspire
