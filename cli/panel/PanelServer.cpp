#include "panel/PanelServer.h"

#include "Json.h"
#include "panel/Frame.h"
#include "panel/PanelApi.h"
#include "panel/PanelSecurity.h"

#include <civetweb.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>

namespace korvane::panel {
namespace {

using cli::JsonNumber;
using cli::JsonString;
using cli::JsonValue;

struct Asset {
  const char* name;
  const char* type;
  const unsigned char* data;
  std::size_t size;
};
// kAssets: the files of share/korvane/panel, generated into the build tree.
#include "PanelAssets.inc"

const Asset* FindAsset(const std::string& name) {
  for (const Asset& a : kAssets)
    if (name == a.name) return &a;
  return nullptr;
}

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

constexpr std::uintmax_t kMaxIoLog = 4 << 20;

const char* Header(const mg_connection* c, const char* name) {
  const char* v = mg_get_header(c, name);
  return v ? v : "";
}

}  // namespace

// A page connected over the WebSocket: the part of the record it shows, at its width.
struct Client {
  mg_connection* conn = nullptr;
  // Held while writing to the connection from another thread; the close handler takes it too, so
  // the connection outlives every such write.
  std::mutex io;
  bool closed = false;
  // The rest is guarded by the server's mutex.
  double viewStart = std::numeric_limits<double>::quiet_NaN();
  double viewEnd = std::numeric_limits<double>::quiet_NaN();
  std::size_t columns = 1000;
  unsigned sentSeq = 0;
  bool dirty = true;  // its view changed: send the latest record again
};

struct CPanelServer::Impl {
  CPanelInstrument& inst;
  ServerOptions options;
  mg_context* ctx = nullptr;
  int port = 0;
  std::vector<std::string> listenAddresses;
  std::mutex propertiesMutex;
  std::string propertiesCache;  // the object model's paths do not change while the session lasts

  // The clients, and the publisher's wake-up. Never held while waiting for the session thread
  // (CPanelInstrument::Call), which takes it after each record.
  std::mutex m;
  std::condition_variable cv;
  std::map<const mg_connection*, std::shared_ptr<Client>> clients;
  bool stopping = false;
  std::thread publisher;
  // Figures of the frames, reported to the pages every half second.
  unsigned frames = 0, records = 0;
  double publishCpuMs = 0, bytes = 0, lastAcquireMs = 0;
  std::string lastError;

  explicit Impl(CPanelInstrument& i) : inst(i) {}

  // --- HTTP ---------------------------------------------------------------------------------

  void Respond(mg_connection* c, int status, const char* reason, const char* type, const std::string& body,
               const std::string& extra = {}) {
    const std::string host = Header(c, "Host");
    mg_printf(c,
              "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\nReferrer-Policy: no-referrer\r\n"
              "Content-Security-Policy: default-src 'self'; img-src 'self' data: blob:; connect-src 'self' ws://%s; "
              "frame-ancestors 'none'\r\n%s\r\n",
              status, reason, type, body.size(), host.c_str(), extra.c_str());
    mg_write(c, body.data(), body.size());
  }

  // A call that reached the driver answers 200 with "ok" in its body, refusals included; a request
  // that is not a call at all (no token, wrong method, no JSON object) gets an HTTP error.
  void Json(mg_connection* c, const std::string& body) { Respond(c, 200, "OK", "application/json", body); }

  void Refuse(mg_connection* c, int status, const char* reason, const std::string& why,
              const std::string& extra = {}) {
    Respond(c, status, reason, "application/json", "{\"ok\": false, \"error\": " + JsonString(why) + "}", extra);
  }

  bool ReadBody(mg_connection* c, std::string& body) {
    const mg_request_info* info = mg_get_request_info(c);
    if (info->content_length > kMaxBody) return false;
    char buf[16384];
    int n;
    while ((n = mg_read(c, buf, sizeof buf)) > 0) {
      body.append(buf, static_cast<std::size_t>(n));
      if (static_cast<long long>(body.size()) > kMaxBody) return false;
    }
    return true;
  }

  std::string CookieName() const { return "korvane-panel-" + std::to_string(port); }

  int Handle(mg_connection* c) {
    const mg_request_info* info = mg_get_request_info(c);
    const std::string host = Header(c, "Host");
    if (!HostAllowed(host, listenAddresses)) {
      Refuse(c, 403, "Forbidden", "the Host header must name the panel's own address (127.0.0.1 or localhost)");
      return 403;
    }
    const std::string uri = info->local_uri ? info->local_uri : "";
    const std::string method = info->request_method ? info->request_method : "";
    const bool post = method == "POST";
    if (!post && method != "GET") {
      Refuse(c, 405, "Method Not Allowed", "GET or POST only", "Allow: GET, POST\r\n");
      return 405;
    }
    // Calls that change something carry the token in a header a page of another site cannot set
    // without the panel's consent (which it never gives: no CORS headers); reads also take the
    // URL's token (the first page) or the cookie set with it.
    const std::string headerToken = Header(c, "X-Korvane-Token");
    const std::string origin = Header(c, "Origin");
    bool authorised = TokenMatches(headerToken, options.token);
    if (!post && !authorised)
      authorised = TokenMatches(QueryValue(info->query_string, "token"), options.token) ||
                   TokenMatches(CookieValue(mg_get_header(c, "Cookie"), CookieName()), options.token);
    if (!authorised) {
      Refuse(c, 403, "Forbidden",
             post ? "this call needs the X-Korvane-Token header"
                  : "open the panel with the URL it printed (?token=...)");
      return 403;
    }
    if (!origin.empty() && !OriginAllowed(origin, host)) {
      Refuse(c, 403, "Forbidden", "requests from another origin are not served");
      return 403;
    }
    const bool api = uri.compare(0, 5, "/api/") == 0;
    // Reading the settings empties the instrument's error queue (queries of what the model lacks
    // leave errors there): a POST like every call that touches the instrument's state.
    const bool wantsPost = api && uri != "/api/state" && uri != "/api/properties" && uri != "/api/csv" &&
                           uri != "/api/iolog";
    if (wantsPost != post) {
      Refuse(c, 405, "Method Not Allowed", uri + " takes " + (wantsPost ? "POST" : "GET"),
             std::string("Allow: ") + (wantsPost ? "POST" : "GET") + "\r\n");
      return 405;
    }
    if (!api) return Page(c, uri);
    if (!post) return Get(c, uri, info->query_string);
    std::string body;
    if (!ReadBody(c, body)) {
      Refuse(c, 413, "Payload Too Large", "a request body of at most " + std::to_string(kMaxBody) + " bytes");
      return 413;
    }
    if (uri == "/api/settings") {
      bool ok = false;
      const std::string text = inst.Call([&ok](IKorvane8* r) { return ApiSaveSettings(r, ok); });
      if (ok)
        Respond(c, 200, "OK", "application/json", text,
                "Content-Disposition: attachment; filename=\"korvane-settings.json\"\r\n");
      else Json(c, text);
      return 200;
    }
    if (uri == "/api/load") {
      Json(c, inst.Call([&](IKorvane8* r) { return ApiLoadSettings(r, body); }));
      return 200;
    }
    JsonValue request;
    std::string error;
    if (!cli::ParseJson(body.empty() ? "{}" : body, request, error) || request.type != JsonValue::Type::Object) {
      Refuse(c, 400, "Bad Request",
             "the body is not a JSON object: " + (error.empty() ? "an object is needed" : error));
      return 400;
    }
    std::string answer;
    if (!Call(uri, request, answer)) {
      Refuse(c, 404, "Not Found", "no call " + uri);
      return 404;
    }
    Json(c, answer);
    return 200;
  }

  // A request of the page, by HTTP POST or over the WebSocket: false when there is no such call.
  bool Call(const std::string& name, const JsonValue& request, std::string& answer) {
    if (name == "/api/set") answer = inst.Call([&](IKorvane8* r) { return ApiSet(r, request); });
    else if (name == "/api/read") answer = inst.Call([&](IKorvane8* r) { return ApiRead(r, request); });
    else if (name == "/api/scpi") answer = inst.Call([&](IKorvane8* r) { return ApiScpi(r, request); });
    else if (name == "/api/errors") answer = inst.Call([](IKorvane8* r) { return ApiErrors(r); });
    else if (name == "/api/mode") answer = Mode(request);
    else if (name == "/api/measure") answer = Measurements(request);
    else return false;
    return true;
  }

  std::string Mode(const JsonValue& request) {
    const JsonValue* mode = request.Find("mode");
    const std::string m = mode && mode->type == JsonValue::Type::String ? mode->text : "";
    if (m == "run") inst.SetMode(RunMode::Run);
    else if (m == "stop") inst.SetMode(RunMode::Stop);
    else if (m == "single") inst.SetMode(RunMode::Single);
    else return "{\"ok\": false, \"error\": \"mode is run, stop or single\"}";
    return "{\"ok\": true, \"mode\": " + JsonString(m) + "}";
  }

  std::string Measurements(const JsonValue& request) {
    const JsonValue* channel = request.Find("channel");
    const JsonValue* names = request.Find("names");
    if (!channel || channel->type != JsonValue::Type::String || !names || names->type != JsonValue::Type::Array ||
        names->items.size() > 32)
      return "{\"ok\": false, \"error\": \"measure takes \\\"channel\\\" and up to 32 \\\"names\\\"\"}";
    std::vector<std::string> list;
    for (const JsonValue& n : names->items)
      if (n.type == JsonValue::Type::String) list.push_back(n.text);
    inst.SetMeasurements(channel->text, std::move(list));
    return "{\"ok\": true}";
  }

  int Page(mg_connection* c, std::string uri) {
    if (uri == "/") uri = "/index.html";
    const Asset* a = FindAsset(uri.substr(1));
    if (!a) {
      Refuse(c, 404, "Not Found", "no page " + uri);
      return 404;
    }
    // The cookie lets the page's own files load without the token in their URLs.
    const std::string cookie = "Set-Cookie: " + CookieName() + "=" + options.token +
                               "; Path=/; HttpOnly; SameSite=Strict\r\n";
    Respond(c, 200, "OK", a->type, std::string(reinterpret_cast<const char*>(a->data), a->size),
            uri == "/index.html" ? cookie : "");
    return 200;
  }

  int Get(mg_connection* c, const std::string& uri, const char* query) {
    if (uri == "/api/state") {
      std::string channels;
      for (const std::string& n : inst.ChannelNames()) channels += (channels.empty() ? "" : ", ") + JsonString(n);
      Json(c, "{\"ok\": true, \"model\": " + JsonString(inst.Model()) + ", \"channels\": [" + channels + "]}");
    } else if (uri == "/api/properties") {
      // Not under `m`: the session thread takes it after each record, and this call waits for that thread.
      std::string list;
      {
        std::lock_guard<std::mutex> lock(propertiesMutex);
        list = propertiesCache;
      }
      if (list.empty()) {
        list = inst.Call([](IKorvane8* r) { return ApiProperties(r); });
        std::lock_guard<std::mutex> lock(propertiesMutex);
        propertiesCache = list;
      }
      Json(c, list);
    } else if (uri == "/api/csv") {
      return Csv(c, query);
    } else if (uri == "/api/iolog") {
      return IoLog(c, query);
    } else {
      Refuse(c, 404, "Not Found", "no call " + uri);
      return 404;
    }
    return 200;
  }

  // The shown part of the latest record at full resolution.
  int Csv(mg_connection* c, const char* query) {
    const std::shared_ptr<const Record> r = inst.Latest();
    if (!r || r->traces.empty()) {
      Refuse(c, 409, "Conflict", "no waveform has been acquired yet");
      return 409;
    }
    const double start = std::strtod(QueryValue(query, "start").c_str(), nullptr);
    const double end = std::strtod(QueryValue(query, "end").c_str(), nullptr);
    std::vector<cli::Trace> shown;
    for (const cli::Trace& t : r->traces) {
      cli::Trace s = t;
      if (start < end && t.xIncrement > 0) {
        const double a = std::max(0.0, std::ceil((start - t.initialX) / t.xIncrement));
        const double b = std::min(static_cast<double>(t.volts.size()),
                                  std::floor((end - t.initialX) / t.xIncrement) + 1);
        s.volts.clear();
        if (b > a)
          s.volts.assign(t.volts.begin() + static_cast<std::ptrdiff_t>(a),
                         t.volts.begin() + static_cast<std::ptrdiff_t>(b));
        s.initialX = t.initialX + a * t.xIncrement;
      }
      shown.push_back(std::move(s));
    }
    Respond(c, 200, "OK", "text/csv", cli::CsvText(shown),
            "Content-Disposition: attachment; filename=\"korvane-waveforms.csv\"\r\n");
    return 200;
  }

  // The I/O log from a byte offset on, at most its last 64 KiB.
  int IoLog(mg_connection* c, const char* query) {
    if (options.ioLog.empty()) {
      Json(c, "{\"ok\": true, \"next\": 0, \"text\": \"\"}");
      return 200;
    }
    std::ifstream f(options.ioLog, std::ios::binary | std::ios::ate);
    const long long size = f ? static_cast<long long>(f.tellg()) : 0;
    long long from = std::strtoll(QueryValue(query, "from").c_str(), nullptr, 10);
    if (from < 0 || from > size) from = 0;
    from = std::max(from, size - 65536);
    std::string text;
    if (f && size > from) {
      text.resize(static_cast<std::size_t>(size - from));
      f.seekg(from);
      f.read(text.data(), static_cast<std::streamsize>(text.size()));
    }
    Json(c, "{\"ok\": true, \"next\": " + std::to_string(size) + ", \"text\": " + JsonString(text) + "}");
    return 200;
  }

  // --- WebSocket ------------------------------------------------------------------------------

  int WsConnect(const mg_connection* c) {
    const mg_request_info* info = mg_get_request_info(c);
    const std::string host = Header(c, "Host");
    if (!HostAllowed(host, listenAddresses) || !OriginAllowed(Header(c, "Origin"), host) ||
        !TokenMatches(QueryValue(info->query_string, "token"), options.token))
      return 1;  // refused before the handshake
    return 0;
  }

  void WsReady(mg_connection* c) {
    int n;
    {
      std::lock_guard<std::mutex> lock(m);
      auto client = std::make_shared<Client>();
      client->conn = c;
      clients[c] = client;
      n = static_cast<int>(clients.size());
    }
    inst.SetWatchers(n);
    cv.notify_all();
  }

  void WsSend(mg_connection* c, const std::string& text) {
    mg_websocket_write(c, MG_WEBSOCKET_OPCODE_TEXT, text.data(), text.size());
  }

  int WsData(mg_connection* c, int bits, char* data, std::size_t size) {
    const int opcode = bits & 0x0F;
    if (opcode == MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE) return 0;
    if (opcode == MG_WEBSOCKET_OPCODE_PING || opcode == MG_WEBSOCKET_OPCODE_PONG) return 1;
    if (size > kMaxWsMessage) {
      WsSend(c, "{\"type\": \"error\", \"error\": \"a message of at most " + std::to_string(kMaxWsMessage) +
                    " bytes; closing\"}");
      const char status[2] = {static_cast<char>(1009 >> 8), static_cast<char>(1009 & 0xFF)};  // too big
      mg_websocket_write(c, MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE, status, sizeof status);
      return 0;
    }
    if (opcode != MG_WEBSOCKET_OPCODE_TEXT) {
      WsSend(c, "{\"type\": \"error\", \"error\": \"messages are JSON text\"}");
      return 1;
    }
    JsonValue msg;
    std::string error;
    if (!cli::ParseJson(std::string(data, size), msg, error) || msg.type != JsonValue::Type::Object) {
      WsSend(c, "{\"type\": \"error\", \"error\": " +
                    JsonString("not a JSON object: " + (error.empty() ? "an object is needed" : error)) + "}");
      return 1;
    }
    const JsonValue* type = msg.Find("type");
    const JsonValue* id = msg.Find("id");
    const std::string idJson = id && id->type == JsonValue::Type::Number ? id->text : "null";
    const std::string t = type && type->type == JsonValue::Type::String ? type->text : "";
    if (t == "view") {
      const JsonValue* s = msg.Find("start");
      const JsonValue* e = msg.Find("end");
      const JsonValue* cols = msg.Find("columns");
      std::lock_guard<std::mutex> lock(m);
      const auto found = clients.find(c);
      if (found == clients.end()) return 1;
      Client& cl = *found->second;
      const double nan = std::numeric_limits<double>::quiet_NaN();
      cl.viewStart = s && s->type == JsonValue::Type::Number ? s->number : nan;
      cl.viewEnd = e && e->type == JsonValue::Type::Number ? e->number : nan;
      if (cols && cols->type == JsonValue::Type::Number && cols->number >= 1)
        cl.columns = static_cast<std::size_t>(std::min<double>(cols->number, kMaxColumns));
      cl.dirty = true;
      cv.notify_all();
      return 1;
    }
    std::string answer;
    if (!Call("/api/" + t, msg, answer))
      answer = "{\"ok\": false, \"error\": " + JsonString("unknown message type '" + t + "'") + "}";
    WsSend(c, "{\"type\": \"reply\", \"id\": " + idJson + ", \"reply\": " + answer + "}");
    return 1;
  }

  void WsClose(const mg_connection* c) {
    int n;
    std::shared_ptr<Client> gone;
    {
      std::lock_guard<std::mutex> lock(m);
      const auto found = clients.find(c);
      if (found != clients.end()) gone = found->second;
      if (gone) clients.erase(found);
      n = static_cast<int>(clients.size());
    }
    if (gone) {
      std::lock_guard<std::mutex> io(gone->io);  // a write in progress ends first
      gone->closed = true;
    }
    inst.SetWatchers(n);
  }

  std::vector<std::shared_ptr<Client>> Snapshot() {
    std::vector<std::shared_ptr<Client>> out;
    for (auto& [conn, cl] : clients) out.push_back(cl);
    return out;
  }

  // A write to a page from a thread other than its own handler's.
  static void SendTo(Client& cl, int opcode, const std::string& data) {
    std::lock_guard<std::mutex> io(cl.io);
    if (!cl.closed) mg_websocket_write(cl.conn, opcode, data.data(), data.size());
  }

  // --- Frames ---------------------------------------------------------------------------------

  void OnRecord(const std::shared_ptr<const Record>& r) {
    std::lock_guard<std::mutex> lock(m);
    ++records;
    lastAcquireMs = r->acquireMs;
    lastError = r->error;
    cv.notify_all();
  }

  void OnMeasurements(const std::string& text) {
    std::vector<std::shared_ptr<Client>> to;
    {
      std::lock_guard<std::mutex> lock(m);
      to = Snapshot();
    }
    for (auto& cl : to) SendTo(*cl, MG_WEBSOCKET_OPCODE_TEXT, text);
  }

  // Sends each page the latest record in its view, once per record or view change: a page that
  // falls behind skips records rather than queueing them.
  void Publish() {
    auto lastStatus = std::chrono::steady_clock::now();
    unsigned statusRecords = 0;
    double statusProcessCpu = ProcessCpuMs();
    // The frames are made and written without the server's mutex, which the session thread
    // takes after each record: a slow page must not hold up the instrument.
    struct Work {
      std::shared_ptr<Client> client;
      double start, end;
      std::size_t columns;
    };
    std::unique_lock<std::mutex> lock(m);
    while (!stopping) {
      cv.wait_for(lock, std::chrono::milliseconds(500));
      if (stopping) break;
      const std::shared_ptr<const Record> r = inst.Latest();
      std::vector<Work> work;
      for (auto& [conn, cl] : clients) {
        if (!r || (!cl->dirty && cl->sentSeq == r->seq)) continue;
        work.push_back({cl, cl->viewStart, cl->viewEnd, cl->columns});
        cl->sentSeq = r->seq;
        cl->dirty = false;
      }
      lock.unlock();
      for (const Work& w : work) {
        const double cpu = ThreadCpuMs();
        const std::string frame = EncodeFrame(r->traces, r->seq, w.start, w.end, w.columns);
        SendTo(*w.client, MG_WEBSOCKET_OPCODE_BINARY, frame);
        publishCpuMs += ThreadCpuMs() - cpu;
        bytes += static_cast<double>(frame.size());
        ++frames;
      }
      lock.lock();
      const auto now = std::chrono::steady_clock::now();
      const double seconds = std::chrono::duration<double>(now - lastStatus).count();
      if (seconds < 0.5) continue;
      // The I/O log of a running panel grows by tens of kilobytes a second; the page shows its
      // tail, so the file is emptied now and then (the driver appends, so it writes on at the start).
      if (!options.ioLog.empty()) {
        std::error_code ec;
        if (std::filesystem::file_size(options.ioLog, ec) > kMaxIoLog && !ec) truncate(options.ioLog.c_str(), 0);
      }
      const double processCpu = ProcessCpuMs();
      const unsigned f = frames, n = records - statusRecords;
      const std::string status =
          "{\"type\": \"status\", \"mode\": " +
          JsonString(inst.Mode() == RunMode::Run      ? "run"
                     : inst.Mode() == RunMode::Single ? "single"
                                                      : "stop") +
          ", \"records_per_s\": " + JsonNumber(n / seconds) + ", \"frames_per_s\": " + JsonNumber(f / seconds) +
          ", \"acquire_ms\": " + JsonNumber(lastAcquireMs) +
          ", \"frame_cpu_ms\": " + JsonNumber(f ? publishCpuMs / f : 0) +
          ", \"process_cpu_ms_per_record\": " + JsonNumber(n ? (processCpu - statusProcessCpu) / n : 0) +
          ", \"frame_bytes\": " + JsonNumber(f ? bytes / f : 0) + ", \"seq\": " + std::to_string(r ? r->seq : 0) +
          ", \"error\": " + JsonString(lastError) + "}";
      const std::vector<std::shared_ptr<Client>> to = Snapshot();
      lock.unlock();
      for (auto& cl : to) SendTo(*cl, MG_WEBSOCKET_OPCODE_TEXT, status);
      lock.lock();
      lastStatus = now;
      statusRecords = records;
      statusProcessCpu = processCpu;
      publishCpuMs = 0;
      bytes = 0;
      frames = 0;
    }
  }
};

namespace {

extern "C" int PanelHttp(mg_connection* c, void* self) { return static_cast<CPanelServer::Impl*>(self)->Handle(c); }
extern "C" int PanelWsConnect(const mg_connection* c, void* self) {
  return static_cast<CPanelServer::Impl*>(self)->WsConnect(c);
}
extern "C" void PanelWsReady(mg_connection* c, void* self) { static_cast<CPanelServer::Impl*>(self)->WsReady(c); }
extern "C" int PanelWsData(mg_connection* c, int bits, char* data, std::size_t size, void* self) {
  return static_cast<CPanelServer::Impl*>(self)->WsData(c, bits, data, size);
}
extern "C" void PanelWsClose(const mg_connection* c, void* self) {
  static_cast<CPanelServer::Impl*>(self)->WsClose(c);
}

}  // namespace

CPanelServer::CPanelServer(CPanelInstrument& instrument) : impl_(std::make_unique<Impl>(instrument)) {}

CPanelServer::~CPanelServer() { Stop(); }

bool CPanelServer::Start(const ServerOptions& options, std::string& error) {
  Impl& d = *impl_;
  d.options = options;
  if (!mg_check_feature(16)) {
    error = "the civetweb library was built without WebSocket support";
    return false;
  }
  mg_init_library(0);
  const std::string ports = (options.listen.find(':') != std::string::npos ? "[" + options.listen + "]"
                                                                           : options.listen) +
                            ":" + std::to_string(options.port);
  const char* opts[] = {"listening_ports", ports.c_str(), "num_threads", "24", "request_timeout_ms", "30000",
                        "enable_keep_alive", "yes", "max_request_size", "16384",
                        // A control's short reply must not wait for the acknowledgement of a frame
                        // (Nagle's algorithm against delayed ACKs: 40 ms on Linux).
                        "tcp_nodelay", "1", nullptr};
  mg_callbacks callbacks{};
  d.ctx = mg_start(&callbacks, &d, opts);
  if (!d.ctx) {
    error = "cannot listen on " + ports + " (in use, or not an address of this machine)";
    return false;
  }
  mg_server_port sp[4]{};
  const int n = mg_get_server_ports(d.ctx, 4, sp);
  d.port = n > 0 ? sp[0].port : options.port;
  d.listenAddresses = {options.listen};
  mg_set_request_handler(d.ctx, "/", PanelHttp, &d);
  mg_set_websocket_handler(d.ctx, "/ws", PanelWsConnect, PanelWsReady, PanelWsData, PanelWsClose, &d);
  d.inst.SetListeners([&d](std::shared_ptr<const Record> r) { d.OnRecord(r); },
                      [&d](const std::string& text) { d.OnMeasurements(text); });
  d.publisher = std::thread([&d] { d.Publish(); });
  return true;
}

void CPanelServer::Stop() {
  Impl& d = *impl_;
  {
    std::lock_guard<std::mutex> lock(d.m);
    d.stopping = true;
  }
  d.cv.notify_all();
  if (d.publisher.joinable()) d.publisher.join();
  d.inst.SetListeners(nullptr, nullptr);
  if (d.ctx) {
    mg_stop(d.ctx);
    d.ctx = nullptr;
    mg_exit_library();
  }
}

int CPanelServer::Port() const { return impl_->port; }

}  // namespace korvane::panel
