#include "tests/support/program_runner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vexo::testing {
namespace {

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::vector<char*> ArgumentVector(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  return argv;
}

// Starts `program` with the given descriptors as its standard streams.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, int in, int out,
            int err) {
  std::vector<char*> argv = ArgumentVector(program, arguments);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  if (pid < 0) {
    throw std::runtime_error("fork failed");
  }
  return pid;
}

void ReadAvailable(int descriptor, std::string& into, bool& open) {
  char buffer[65536];
  ssize_t count = read(descriptor, buffer, sizeof buffer);
  if (count > 0) {
    into.append(buffer, static_cast<size_t>(count));
  } else if (count == 0 || errno != EINTR) {
    open = false;
  }
}

}  // namespace

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_t pid = Spawn(program, arguments, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
  }
  ProgramResult result;
  bool outOpen = true, errOpen = true, inOpen = !input.empty();
  while (outOpen || errOpen) {
    pollfd descriptors[3] = {{outOpen ? out[0] : -1, POLLIN, 0},
                             {errOpen ? err[0] : -1, POLLIN, 0},
                             {inOpen ? in[1] : -1, POLLOUT, 0}};
    poll(descriptors, 3, -1);
    if (descriptors[0].revents) {
      ReadAvailable(out[0], result.out, outOpen);
    }
    if (descriptors[1].revents) {
      ReadAvailable(err[0], result.err, errOpen);
    }
    if (descriptors[2].revents) {
      ssize_t count = write(in[1], input.data() + written, input.size() - written);
      written += count > 0 ? static_cast<size_t>(count) : 0;
      if (count < 0 || written == input.size()) {
        close(in[1]);
        inOpen = false;
      }
    }
  }
  if (inOpen) {
    close(in[1]);
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitCode = ExitCodeOf(status);
  return result;
}

BackgroundProgram::BackgroundProgram(const std::string& program,
                                     const std::vector<std::string>& arguments) {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = open(folder_.File("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  int err = open(folder_.File("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  pid_ = Spawn(program, arguments, in, out, err);
  close(in);
  close(out);
  close(err);
}

BackgroundProgram::~BackgroundProgram() {
  if (!ended_) {
    kill(pid_, SIGKILL);
    Wait();
  }
}

bool BackgroundProgram::TryReap() {
  int status = 0;
  if (!ended_ && waitpid(pid_, &status, WNOHANG) == pid_) {
    ended_ = true;
    exitCode_ = ExitCodeOf(status);
  }
  return ended_;
}

std::string BackgroundProgram::Line(size_t index) {
  // Polls the output file: the program is a separate process and writes when it is ready.
  while (true) {
    std::string out = Output();
    size_t start = 0;
    for (size_t skipped = 0; skipped < index && start != std::string::npos; ++skipped) {
      start = out.find('\n', start);
      start = start == std::string::npos ? start : start + 1;
    }
    size_t newline = start == std::string::npos ? start : out.find('\n', start);
    if (newline != std::string::npos) {
      return out.substr(start, newline - start);
    }
    if (TryReap()) {
      return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool BackgroundProgram::Signal(int signalNumber) {
  return !ended_ && kill(pid_, signalNumber) == 0;
}

int BackgroundProgram::Wait() {
  if (!ended_) {
    int status = 0;
    waitpid(pid_, &status, 0);
    ended_ = true;
    exitCode_ = ExitCodeOf(status);
  }
  return exitCode_;
}

std::string BackgroundProgram::Output() const {
  return ReadFile(folder_.File("out"));
}
std::string BackgroundProgram::Errors() const {
  return ReadFile(folder_.File("err"));
}

HttpReply SendRaw(uint16_t port, const std::string& request, const std::string& source) {
  HttpReply reply;
  int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (!source.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    if (bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(descriptor);
      return reply;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(descriptor);
    return reply;
  }
  size_t sent = 0;
  while (sent < request.size()) {
    ssize_t count = send(descriptor, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      break;
    }
    sent += static_cast<size_t>(count);
  }
  std::string raw;
  char buffer[65536];
  ssize_t count;
  while ((count = recv(descriptor, buffer, sizeof buffer, 0)) > 0) {
    raw.append(buffer, static_cast<size_t>(count));
  }
  close(descriptor);
  reply.raw = raw;

  size_t headerEnd = raw.find("\r\n\r\n");
  if (!raw.starts_with("HTTP/1.") || headerEnd == std::string::npos) {
    return reply;
  }
  std::istringstream head(raw.substr(0, headerEnd));
  std::string line;
  std::getline(head, line);
  reply.status = std::atoi(line.substr(9, 3).c_str());
  while (std::getline(head, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    std::string name = line.substr(0, colon);
    for (char& c : name) {
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    if (!value.empty() && value.back() == '\r') {
      value.pop_back();
    }
    reply.headers[name] = value;
  }
  reply.body = raw.substr(headerEnd + 4);
  return reply;
}

HttpReply HttpGet(uint16_t port, const std::string& target, const std::string& headerLines,
                  const std::string& source) {
  return SendRaw(port,
                 "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headerLines +
                     "Connection: close\r\n\r\n",
                 source);
}

}  // namespace vexo::testing
