// The floor of a durable append: write SIZE bytes at the end of a file and
// fsync it, COUNT times, in DIR. Prints the median microseconds per append as
// JSON.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s DIR SIZE COUNT\n", argv[0]);
    return 2;
  }
  const std::string path = std::string(argv[1]) + "/fsync_floor.bin";
  const auto size = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
  const auto count = static_cast<std::size_t>(std::strtoul(argv[3], nullptr, 10));
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
  if (fd < 0) {
    std::perror(path.c_str());
    return 1;
  }
  const std::vector<char> record(size, 'x');
  std::vector<double> micros;
  micros.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size()) ||
        fsync(fd) != 0) {
      std::perror("write and fsync");
      return 1;
    }
    micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  close(fd);
  unlink(path.c_str());
  std::nth_element(micros.begin(), micros.begin() + static_cast<long>(micros.size() / 2),
                   micros.end());
  std::printf("{\"write_fsync_us\": %.1f}\n", micros[micros.size() / 2]);
  return 0;
}
