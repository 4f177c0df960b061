#pragma once

// A CUPS scheduler of the test's own: its configuration, spool, logs and
// state in a folder of the test, listening on a free port of 127.0.0.1, with
// the system's filters (and room for a test's own in bin/filter) and our
// backend as its only backend. The machine's own CUPS is never touched.

#include "PostScriptSamples.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

#include <filesystem>
#include <string>

class PrivateCups {
 public:
  // Why no private scheduler can run here; empty when one can.
  static QString Unavailable() {
    if (access("/usr/sbin/cupsd", X_OK) != 0) return "cupsd is not installed (scripts/setup-deps.sh installs it)";
    // The scheduler runs a backend as root only when it is root itself and
    // the backend is root's alone, as the package installs ours.
    return geteuid() != 0 ? "a scheduler that runs our backend as it is installed needs root" : "";
  }

  explicit PrivateCups(const std::filesystem::path& folder) : m_folder(folder) {
    namespace fs = std::filesystem;
    for (const char* sub : {"root", "bin/backend", "bin/filter", "spool", "tmp", "cache", "state", "log"}) {
      fs::create_directories(folder / sub);
    }
    // Filters run as lp and must reach their programs and files.
    for (fs::path p = folder; p != p.parent_path() && p != "/tmp"; p = p.parent_path()) {
      fs::permissions(p, fs::perms::others_exec | fs::perms::group_exec, fs::perm_options::add);
    }
    for (const char* sub : {"daemon", "cgi-bin", "monitor", "notifier", "driver"}) {
      fs::create_directory_symlink(fs::path("/usr/lib/cups") / sub, folder / "bin" / sub);
    }
    for (const auto& filter : fs::directory_iterator("/usr/lib/cups/filter")) {
      fs::create_symlink(filter.path(), folder / "bin" / "filter" / filter.path().filename());
    }
    fs::copy_file(samples::BinDir() / "cups" / "backend" / "quillpress", folder / "bin" / "backend" / "quillpress");
    fs::permissions(folder / "bin" / "backend" / "quillpress", fs::perms::owner_all);
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    m_port = probe.serverPort();
    probe.close();
    const std::string f = folder.string();
    samples::WriteFile(folder / "root" / "cupsd.conf",
                       "Listen " + server() + "\nLogLevel debug\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                       "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                       "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n");
    samples::WriteFile(folder / "root" / "cups-files.conf",
                       "ServerRoot " + f + "/root\nServerBin " + f + "/bin\nDataDir /usr/share/cups\nRequestRoot " + f +
                           "/spool\nTempDir " + f + "/tmp\nCacheDir " + f + "/cache\nStateDir " + f + "/state\nAccessLog " + f +
                           "/log/access_log\nErrorLog " + f + "/log/error_log\nPageLog " + f + "/log/page_log\nFileDevice No\n"
                           "Sandboxing Relaxed\nUser lp\nGroup lp\nSystemGroup root\n");
    m_cupsd.setProcessChannelMode(QProcess::ForwardedChannels);
    m_cupsd.start("/usr/sbin/cupsd", {"-f", "-c", samples::Arg(folder / "root" / "cupsd.conf"), "-s",
                                      samples::Arg(folder / "root" / "cups-files.conf")});
  }

  ~PrivateCups() {
    m_cupsd.terminate();
    if (!m_cupsd.waitForFinished(30000)) m_cupsd.kill();
    m_cupsd.waitForFinished(30000);
  }

  // Whether it takes requests yet.
  bool Answers() {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    return m_cupsd.state() == QProcess::Running && socket.waitForConnected(1000);
  }

  std::string server() const { return "127.0.0.1:" + std::to_string(m_port); }
  // The scheduler's log, where each job's lines go.
  std::string Log() const { return samples::ReadAll(m_folder / "log" / "error_log"); }

 private:
  std::filesystem::path m_folder;
  quint16 m_port = 0;
  QProcess m_cupsd;
};
