// listen CHANNEL... [--count N]: prints "CHANNEL: PAYLOAD" for each notification until Ctrl-C
// or the count; notify CHANNEL [PAYLOAD]: sends one.
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/error_report.h"
#include "components/connection.h"
#include "protocol/notification.h"

namespace larkspire::cli {
namespace {

struct TListenArgs {
  std::vector<std::string> channels;
  int count = 0;
};

struct TNotifyArgs {
  std::string channel;
  std::string payload;
};

// A channel the server would refuse is bad usage, told before connecting.
void CheckChannel(const std::string& channel) {
  std::string reason;
  if (!IsValidChannel(channel, &reason)) throw EUsageError(reason);
}

int RunListen(const TClientOptions& options, const TListenArgs& args) {
  if (args.count < 0) throw EUsageError("--count must not be negative");
  for (const std::string& channel : args.channels) CheckChannel(channel);
  TLarkspireConnection connection;
  options.Configure(connection);
  std::mutex mutex;
  std::condition_variable done;
  int printed = 0;
  connection.SetOnNotification([&](const TLarkspireNotification& notification) {
    std::lock_guard lock(mutex);
    if (args.count > 0 && printed >= args.count) return;
    if (notification.Missed) {
      std::cerr << "larkspire: notifications before this one may have been missed\n";
    }
    std::cout << notification.Channel << ": " << notification.Payload << std::endl;
    ++printed;
    if (args.count > 0 && printed >= args.count) done.notify_all();
  });
  for (const std::string& channel : args.channels) connection.Subscribe(channel);
  std::cerr << "listening on " << args.channels.size()
            << (args.channels.size() == 1 ? " channel" : " channels") << std::endl;
  std::unique_lock lock(mutex);
  // Without a count, only Ctrl-C ends the wait (the program's handler).
  done.wait(lock, [&] { return args.count > 0 && printed >= args.count; });
  lock.unlock();
  connection.NotificationListener().Stop();
  return kExitSuccess;
}

int RunNotify(const TClientOptions& options, const TNotifyArgs& args) {
  CheckChannel(args.channel);
  if (args.payload.size() > kMaxNotificationPayload) {
    throw EUsageError("a notification's payload holds at most " +
                      std::to_string(kMaxNotificationPayload) + " bytes");
  }
  TLarkspireConnection connection;
  options.Configure(connection);
  connection.Notify(args.channel, args.payload);
  return kExitSuccess;
}

}  // namespace

void AddListenCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TListenArgs>();
  CLI::App* listen = app.add_subcommand(
      "listen", "Print \"CHANNEL: PAYLOAD\" for each notification on the channels until Ctrl-C");
  listen->add_option("channels", args->channels, "channels: table:NAME, a PostgreSQL channel, ...")
      ->required();
  listen->add_option("--count", args->count, "end after this many notifications");
  listen->callback(
      [&options, &run, args] { run = [&options, args] { return RunListen(options, *args); }; });
}

void AddNotifyCommand(CLI::App& app, const TClientOptions& options, TRunFunction& run) {
  auto args = std::make_shared<TNotifyArgs>();
  CLI::App* notify =
      app.add_subcommand("notify", "Send a notification to every client listening on CHANNEL");
  notify->add_option("channel", args->channel, "the channel")->required();
  notify->add_option("payload", args->payload, "the payload (at most 8000 bytes)");
  notify->callback(
      [&options, &run, args] { run = [&options, args] { return RunNotify(options, *args); }; });
}

}  // namespace larkspire::cli
