/* Runs a command (its standard output discarded) and prints the CPU time
 * (user + system, seconds) and peak resident set size (KiB) of that process
 * from wait4.  A process inherits its parent's resident size as the floor
 * of its own peak (fork copies the high-water mark and exec keeps it), so
 * the command must not be started by an interpreter of a similar size.
 * Exit status: the command's, or 2 when it could not be run. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 1);
    execvp(argv[1], argv + 1);
    _exit(127);
  }
  int status = 0;
  struct rusage u;
  if (pid < 0 || wait4(pid, &status, 0, &u) != pid) return 2;
  const double cpu = (double)u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 +
                     (double)u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
  printf("%.3f %ld\n", cpu, u.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
