// korvane panel: a soft front panel in the browser over one driver session.
#include "Commands.h"
#include "ExitCodes.h"

#ifdef KORVANE_HAVE_PANEL
#include "panel/PanelInstrument.h"
#include "panel/PanelSecurity.h"
#include "panel/PanelServer.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvane::cli {
namespace {

// A private directory for the session's I/O log, removed on the way out.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/korvane-panel-XXXXXX";
    if (mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~TempDir() {
    if (path_.empty()) return;
    std::remove((path_ + "/io.log").c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The desktop's browser, detached: the panel does not wait for it.
void OpenBrowser(const std::string& url) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (fork() == 0) {
      execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    _exit(0);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
}

}  // namespace

int CmdPanel(const Args& a) {
  if (a.positional.size() != 1) return Usage("panel", "panel takes one resource");
  const std::string listen = a.listen.empty() ? "127.0.0.1" : a.listen;
  if (listen == "0.0.0.0" || listen == "::")
    return BadInput("--listen takes the address of one interface of this machine, not " + listen);
  // Ctrl+C and SIGTERM end the panel; every thread started from here on leaves them blocked so
  // that the main thread receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a page closed mid-frame is a failed write, not the end of the panel

  TempDir dir;
  panel::ServerOptions options;
  options.listen = listen;
  options.port = static_cast<int>(a.port);
  options.token = panel::NewToken();
  // The console shows the session's I/O log from this file; with --trace it goes to stderr instead.
  options.ioLog = dir.path().empty() || a.trace ? "" : dir.path() + "/io.log";

  panel::CPanelInstrument instrument;
  if (int rc = instrument.Start(a.positional[0], a, options.ioLog)) return rc;
  panel::CPanelServer server(instrument);
  std::string error;
  if (!server.Start(options, error)) {
    instrument.Shutdown();
    return Failure("panel: " + error);
  }
  const std::string host = listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
  const std::string url = "http://" + host + ":" + std::to_string(server.Port()) + "/?token=" + options.token;
  std::printf("korvane panel: %s (%s) at\n    %s\n", a.positional[0].c_str(), instrument.Model().c_str(), url.c_str());
  if (!panel::IsLoopback(listen))
    std::printf(
        "korvane panel: listening on %s: anyone who reaches this address with the token can read the\n"
        "instrument's waveforms and settings, change them and send it any command\n",
        listen.c_str());
  std::printf("Ctrl+C stops the panel.\n");
  std::fflush(stdout);
  if (a.open) OpenBrowser(url);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server.Stop();
  instrument.Shutdown();
  return kExitOk;
}

}  // namespace korvane::cli

#else

namespace korvane::cli {

// Builds without the HTTP server library (the Windows cross-build) have no panel.
int CmdPanel(const Args&) {
  return Failure("panel: this build of korvane has no front panel (built without civetweb)");
}

}  // namespace korvane::cli

#endif
