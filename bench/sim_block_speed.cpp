// Raw-socket reader of the simulator's waveform block: the physical limit a driver can
// reach on this machine. Usage: sim_block_speed <port> [points] [repetitions]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_fd = -1;

void sendLine(const std::string& s) {
  const std::string line = s + "\n";
  size_t off = 0;
  while (off < line.size()) {
    const ssize_t n = ::send(g_fd, line.data() + off, line.size() - off, MSG_NOSIGNAL);
    if (n <= 0) {
      std::perror("send");
      std::exit(1);
    }
    off += static_cast<size_t>(n);
  }
}

void readExact(char* dst, size_t len) {
  while (len > 0) {
    const ssize_t n = ::recv(g_fd, dst, len, 0);
    if (n <= 0) {
      std::fprintf(stderr, "connection closed\n");
      std::exit(1);
    }
    dst += n;
    len -= static_cast<size_t>(n);
  }
}

std::string readLine() {
  std::string s;
  char c;
  do {
    readExact(&c, 1);
    s.push_back(c);
  } while (c != '\n');
  return s;
}

// Reads one "#<n><len><bytes>\n" reply into `buf`; returns the payload size.
size_t readBlock(std::vector<char>& buf) {
  char head[2];
  readExact(head, 2);
  if (head[0] != '#' || head[1] < '1' || head[1] > '9') {
    std::fprintf(stderr, "bad block header\n");
    std::exit(1);
  }
  char digits[10] = {};
  readExact(digits, static_cast<size_t>(head[1] - '0'));
  const size_t len = std::strtoul(digits, nullptr, 10);
  if (buf.size() < len + 1) buf.resize(len + 1);
  readExact(buf.data(), len + 1);  // payload and the terminating line feed
  return len;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <port> [points=1000000] [repetitions=50]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const long points = argc > 2 ? std::atol(argv[2]) : 1000000;
  const int reps = argc > 3 ? std::atoi(argv[3]) : 50;

  g_fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(g_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    std::perror("connect");
    return 1;
  }
  const int one = 1;
  ::setsockopt(g_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  sendLine(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:UNS 0;:WAV:BYT MSBF;:WAV:POIN " + std::to_string(points) + ";:DIG");
  sendLine("*OPC?");
  readLine();

  std::vector<char> buf;
  sendLine("WAV:DATA?");  // first read builds the block; not timed
  readBlock(buf);

  size_t bytes = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) {
    sendLine("WAV:DATA?");
    bytes += readBlock(buf);
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("%d blocks of %ld points (%zu bytes each): %.3f ms per block, %.1f MB/s\n", reps, points,
              bytes / static_cast<size_t>(reps), s * 1000 / reps, static_cast<double>(bytes) / s / 1e6);
  ::close(g_fd);
  return 0;
}
