/* The plain-socket limit of a file transfer over loopback: how fast this
 * machine moves a file from one process to another through one TCP
 * connection when nothing but the copy is done. The sending process gives
 * the whole file to the kernel (sendfile); the receiving one takes it in
 * large recv calls and writes every block to the destination file, as a
 * client writing a download does. Run by bench/transfer, so that every run
 * states the ceiling beside the figures of the clients.
 *
 *   socketlimit SOURCE DESTINATION [BLOCK]
 *
 * BLOCK is the receive block in bytes (default 1 MiB). Prints one line:
 * seconds and MiB/s, timed from the accepted connection to the last byte
 * written. Exit status 0 when DESTINATION got every byte, else 1. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int fail(const char* what) {
  perror(what);
  return 1;
}

/* The sending side: connects to the port and sends the whole file. */
static int send_file(const char* source, int port) {
  int file = open(source, O_RDONLY);
  if (file < 0) return fail(source);
  struct stat st;
  if (fstat(file, &st) != 0) return fail("fstat");
  int sock = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in peer = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(sock, (struct sockaddr*)&peer, sizeof peer) != 0) return fail("connect");
  off_t offset = 0;
  while (offset < st.st_size) {
    ssize_t n = sendfile(sock, file, &offset, (size_t)(st.st_size - offset));
    if (n <= 0) return fail("sendfile");
  }
  close(sock);
  close(file);
  return 0;
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: socketlimit SOURCE DESTINATION [BLOCK]\n");
    return 2;
  }
  const size_t block = argc == 4 ? (size_t)strtoul(argv[3], NULL, 10) : 1048576;
  if (block == 0) {
    fprintf(stderr, "socketlimit: BLOCK must be a positive number\n");
    return 2;
  }
  struct stat st;
  if (stat(argv[1], &st) != 0) return fail(argv[1]);

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in local = {.sin_family = AF_INET, .sin_port = 0};
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  if (bind(listener, (struct sockaddr*)&local, sizeof local) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, (struct sockaddr*)&local, &length) != 0)
    return fail("listen");

  pid_t child = fork();
  if (child < 0) return fail("fork");
  if (child == 0) {
    close(listener);
    _exit(send_file(argv[1], ntohs(local.sin_port)));
  }

  int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0) return fail(argv[2]);
  char* buffer = malloc(block);
  int sock = accept(listener, NULL, NULL);
  if (sock < 0 || !buffer) return fail("accept");
  const double start = now();
  long long total = 0;
  for (;;) {
    ssize_t n = recv(sock, buffer, block, 0);
    if (n < 0) return fail("recv");
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buffer + done, (size_t)(n - done));
      if (w <= 0) return fail("write");
      done += w;
    }
    total += n;
  }
  const double seconds = now() - start;
  close(out);
  close(sock);
  int status = 1;
  waitpid(child, &status, 0);
  if (status != 0 || total != (long long)st.st_size) {
    fprintf(stderr, "socketlimit: %lld of %lld bytes arrived\n", total, (long long)st.st_size);
    return 1;
  }
  printf("%.3f %.0f\n", seconds, (double)total / 1048576.0 / seconds);
  free(buffer);
  return 0;
}
