// sens: reads the sens values of LocoNet modules (article 1235) into sens
// lines, writes sens lines from stdin into the modules, or finds the modules.
//   sens -r <interface> <serial port> <address list>
//   sens -w <interface> <serial port>
//   sens -d <interface> <serial port>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#endif

#include "loconet.h"
#include "sens.h"
#include "ui.h"
#include "util.h"

namespace {

/// Ends a completed mode: status 0 only when every line reached standard
/// output's destination, which a full disk may refuse only at the close.
[[noreturn]] void finish(lif_t *lif) {
  // A server's refusal of the last release may still come.
  prog_settle(lif);
  if (fclose(stdout) != 0) output_failed(errno);
  // Not a plain return: the reader may be ending the process right now.
  ln_exit(0);
}

/// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
/// the port never takes the place of one: sens lines written onto the
/// LocoNet line, or the write mode reading its input from the port.
void fill_std_fds() {
#ifdef _WIN32
  // No fcntl: a descriptor without a handle behind it is closed. Binary
  // streams: "\r\n" must not become "\r\r\n", nor Ctrl-Z end the input.
  for (int fd = 0; fd <= 2; ++fd) {
    if (_get_osfhandle(fd) != -1) continue;
    if (_open("NUL", _O_RDWR) != fd) ln_fatal("Can't open NUL for descriptor %d\n", fd);
  }
  for (FILE *f : {stdin, stdout, stderr}) _setmode(_fileno(f), _O_BINARY);
#else
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor: this one.
    if (open("/dev/null", O_RDWR) != fd) ln_fatal("Can't open /dev/null for descriptor %d\n", fd);
  }
#endif
}

/// The answer to --help: what a newcomer needs to start, on stdout.
[[noreturn]] void help(const char *prog) {
  printf(
      "Usage: %s -r <interface> <port> <address list>   print modules' sens values\n"
      "       %s -w <interface> <port>                  write sens lines from stdin\n"
      "       %s -d <interface> <port>                  find the modules on the bus\n"
      "       %s -u [<interface> <port>]                the same in a browser\n"
      "       %s --help | --version\n"
      "Reads and writes the sens values (CVs 145 to 160) of LocoNet modules with\n"
      "article number 1235. An address list is like 3,7-9,12; a sens line is the\n"
      "address, a colon and the sixteen values. Interfaces:\n",
      prog, prog, prog, prog, prog);
  for (const name2lif_t &row : name2lif) printf("  %-11s %s\n", row.name, row.desc);
  printf(
      "A serial <port> is a device such as /dev/ttyUSB0, or comN for /dev/ttyS<N-1>.\n"
      "-u serves a page on http://127.0.0.1:%u/ and opens the browser on it; options\n"
      "--no-browser, --listen HOST:PORT. More in the manual: man sens\n",
      UI_PORT);
  if (fclose(stdout) != 0) output_failed(errno);
  ln_exit(0);
}

}  // namespace

int main(int argc, char **argv) {
  fill_std_fds();
  const char *prog = argc > 0 ? argv[0] : "sens";
  progress_init();
  // Before any other thread starts: a signal must find the release to send.
  ln_catch_signals();
  // The conventional answers, only as the one argument: every other command
  // line is read as it always was.
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) help(prog);
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("sens %s\n", SENS_VERSION);
    if (fclose(stdout) != 0) output_failed(errno);
    ln_exit(0);
  }
  if (argc >= 2 && strcmp(argv[1], "-u") == 0) ui_main(argc, argv);
  // The steps below look at the interface and port names before any count;
  // without them there is nothing to look at.
  if (argc < 4) {
    fputs("Wrong number of parameters\n", stderr);
    usage(prog);
  }

  const name2lif_t *type = nullptr;
  for (const name2lif_t &row : name2lif) {
    if (strcmp(row.name, argv[2]) == 0) {
      type = &row;
      break;
    }
  }
  if (type == nullptr) {
    fprintf(stderr, "bad interaface name %s\n\n", argv[2]);
    usage(prog);
  }

  // The port is opened, and the reader runs, before the option is examined.
  lif_t *lif = lif_open(argv[3], type->num);
  if (lif == nullptr) {
    fprintf(stderr, "Can't open LocoNet interface %s\n", argv[3]);
    ln_exit(1);
  }

  if (strcmp(argv[1], "-r") == 0) {
    if (argc != 5) {
      fputs("Wrong number of parameters\n", stderr);
      usage(prog);
    }
    addr_list_t *list = parse_addr(argv[4]);
    if (list == nullptr) {
      fputs("Bad address specifier\n", stderr);
      usage(prog);
    }
    read_sens_list(lif, list);
    finish(lif);
  }
  if (strcmp(argv[1], "-w") == 0) {
    if (argc != 4) {
      fputs("Wrong number of parameters\n\n", stderr);
      usage(prog);
    }
    write_sens(lif, stdin);
    finish(lif);
  }
  if (strcmp(argv[1], "-d") == 0) {
    if (argc != 4) {
      fputs("Wrong number of parameters\n", stderr);
      usage(prog);
    }
    discover(lif);
    finish(lif);
  }
  fprintf(stderr, "Bad option %s\n", argv[1]);
  usage(prog);
}
