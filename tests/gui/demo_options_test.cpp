// Where the demonstration finds its server: defaults, the environment, the options (which win)
// and the errors of bad values.
#include <QtTest>
#include <map>

#include "demo/demo_options.h"
#include "support/demo_fixture.h"

namespace larkspire::test {

class TDemoOptionsTest : public QObject {
  Q_OBJECT

 private:
  static TDemoOptions Parse(std::vector<std::string> args,
                            std::map<std::string, std::string> env = {}) {
    return ParseDemoOptions(args, [&](const char* name) -> const char* {
      auto found = env.find(name);
      return found == env.end() ? nullptr : found->second.c_str();
    });
  }

 private slots:
  void ServerComesFromOptionsThenEnvironmentThenDefaults() {
    TDemoOptions options = Parse({});
    QCOMPARE(options.Server.Host, std::string("127.0.0.1"));
    QCOMPARE(options.Server.Port, 18008);
    QVERIFY(options.ScreenshotDir.empty());

    QVERIFY(options.Server.User.empty());
    const std::map<std::string, std::string> env = {{"LARKSPIRE_HOST", "db.example"},
                                                    {"LARKSPIRE_PORT", "9001"},
                                                    {"LARKSPIRE_USER", "alice"},
                                                    {"LARKSPIRE_PASSWORD", "pw"}};
    options = Parse({}, env);
    QCOMPARE(options.Server.Host, std::string("db.example"));
    QCOMPARE(options.Server.Port, 9001);
    QCOMPARE(options.Server.User, std::string("alice"));
    QCOMPARE(options.Server.Password, std::string("pw"));

    options = Parse({"--host", "10.1.2.3", "--port=8008", "--screenshot", "shots"}, env);
    QVERIFY(!options.Exit);
    QCOMPARE(options.Server.Host, std::string("10.1.2.3"));
    QCOMPARE(options.Server.Port, 8008);
    QCOMPARE(options.ScreenshotDir, std::string("shots"));
  }

  void BadValuesStopWithAReason() {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "65536"}, {"--port", "80x"}, {"--host"}, {"--verbose"}}) {
      const TDemoOptions options = Parse(args);
      QVERIFY(options.Exit);
      QCOMPARE(options.ExitCode, 2);
      QVERIFY(options.Output.find("usage:") != std::string::npos);
    }
    QCOMPARE(Parse({}, {{"LARKSPIRE_PORT", "port"}}).ExitCode, 2);
    QCOMPARE(Parse({}, {{"LARKSPIRE_TLS", "maybe"}}).ExitCode, 2);
  }

  void TlsComesFromTheEnvironment() {
    QVERIFY(!Parse({}).Server.UseTls);
    QVERIFY(!Parse({}, {{"LARKSPIRE_TLS", "0"}}).Server.UseTls);
    QVERIFY(Parse({}, {{"LARKSPIRE_TLS", "1"}}).Server.UseTls);
    // A CA file alone asks for TLS.
    const TDemoOptions options = Parse({}, {{"LARKSPIRE_TLS_CA", "/etc/ca.pem"}});
    QVERIFY(options.Server.UseTls);
    QCOMPARE(options.Server.TlsCaFile, std::string("/etc/ca.pem"));
    QCOMPARE(Parse({"--help"}).ExitCode, 0);
  }
};

}  // namespace larkspire::test

QTEST_MAIN(larkspire::test::TDemoOptionsTest)
#include "demo_options_test.moc"
