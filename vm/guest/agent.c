/*
 * lumo-agent: the virtual phone's guest agent.
 *
 * Serves the host on the virtio-serial port named "lumo.agent": one request
 * a line, one reply a line ("ok[ TEXT]" or "err TEXT"), texts escaped as
 * text.h says. Requests (arguments are blank-separated; the last one takes
 * the rest of the line; each is unescaped):
 *
 *   ping                      ok pong
 *   read PATH                 ok CONTENT (at most 64 KiB)
 *   write PATH TEXT           ok N: an existing file (sysfs) truncated, TEXT written
 *   put PATH TEXT             ok N: PATH replaced atomically (temporary + rename)
 *   remove PATH               ok
 *   exec COMMAND              ok STATUS OUTPUT: /bin/sh -c COMMAND, stdout and
 *                             stderr together, at most 64 KiB kept; the shell
 *                             is killed (SIGALRM) after 30 s
 *   ps                        ok LINES: "PID STATE VMHWM_KB COMM" per process
 *                             (VMHWM_KB 0 for kernel threads)
 *   supply NAME VALUE         ok N: /sys/module/lumo_power/parameters/NAME
 *   getprop KEY               ok VALUE, or err unset
 *   setprop KEY VALUE         ok: as the property store's writer (see prop_path)
 *   start                     ok: lets init start the program (lumo.wait=1,
 *                             or again after it ended)
 *   reboot [REASON]           ok, then restart (with the reason, if given)
 *   poweroff                  ok, then power off
 *
 * Runs as a child of init for the whole boot and serves one request at a
 * time. While no host is connected, a read of the port returns 0 at once
 * (and poll reports hang-up), so the agent looks again every 20 ms; a
 * partial line is dropped when the host goes away.
 *
 * Built with LUMO_AGENT_TEST it serves standard input instead, keeps its
 * fixed places under $LUMO_AGENT_ROOT and has no restart or power-off at all:
 * that build is the one the host's unit tests run on the development machine.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/reboot.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "text.h"

#define LINE_MAX_BYTES 8192
#define CONTENT_MAX (64 * 1024)
#define REPLY_MAX (4 * CONTENT_MAX + 64)

/* Fixed places, under a root that is "/" in the guest (see main). */
static char props_dir[512] = "/run/lumoboot/properties";
static char persist_props_dir[512] = "/var/lib/lumoboot/properties";
static char start_flag[512] = "/run/lumo-vm/start";
static char supply_dir[512] = "/sys/module/lumo_power/parameters";
static const unsigned kExecLimitSeconds = 30;

static char reply_buf[REPLY_MAX];
static char content[CONTENT_MAX];

static int port_fd = -1;

static void write_all(const char *data, size_t n)
{
	while (n > 0) {
		ssize_t w = write(port_fd, data, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return;
		data += w;
		n -= (size_t)w;
	}
}

/* Sends "WORD TEXT\n", TEXT escaped from n raw bytes (prefix kept as is). */
static void reply_raw(const char *prefix, const char *text, size_t n)
{
	size_t len = (size_t)snprintf(reply_buf, sizeof(reply_buf), "%s", prefix);

	if (text && len < sizeof(reply_buf) - 2) {
		reply_buf[len++] = ' ';
		len += text_escape(reply_buf + len, sizeof(reply_buf) - len - 1, text, n);
	}
	reply_buf[len++] = '\n';
	write_all(reply_buf, len);
}

static void reply_ok(const char *text) { reply_raw("ok", text, text ? strlen(text) : 0); }
static void reply_err(const char *text) { reply_raw("err", text, strlen(text)); }
static void reply_errno(const char *what)
{
	char msg[256];

	snprintf(msg, sizeof(msg), "%s: %s", what, strerror(errno));
	reply_err(msg);
}

/* Reads up to CONTENT_MAX bytes of a file into content; -1 with errno. */
static ssize_t read_file(const char *path)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	size_t total = 0;

	if (fd < 0)
		return -1;
	while (total < sizeof(content)) {
		ssize_t r = read(fd, content + total, sizeof(content) - total);

		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0) {
			int saved = errno;

			close(fd);
			errno = saved;
			return -1;
		}
		if (r == 0)
			break;
		total += (size_t)r;
	}
	close(fd);
	return (ssize_t)total;
}

static int write_file(const char *path, const char *text, size_t n, int flags)
{
	int fd = open(path, O_WRONLY | O_CLOEXEC | flags, 0644);
	ssize_t w;

	if (fd < 0)
		return -1;
	w = write(fd, text, n);
	if (w < 0 || (size_t)w != n) {
		int saved = w < 0 ? errno : EIO;

		close(fd);
		errno = saved;
		return -1;
	}
	return close(fd);
}

static int put_file(const char *path, const char *text, size_t n)
{
	char tmp[4096];

	if ((size_t)snprintf(tmp, sizeof(tmp), "%s.agent-tmp", path) >= sizeof(tmp)) {
		errno = ENAMETOOLONG;
		return -1;
	}
	if (write_file(tmp, text, n, O_CREAT | O_TRUNC) != 0)
		return -1;
	if (rename(tmp, path) != 0) {
		int saved = errno;

		unlink(tmp);
		errno = saved;
		return -1;
	}
	return 0;
}

/* The store file of a property key, as the Linux backend keeps them: one file
 * per key, "persist." keys in their own directory. Refuses keys outside the
 * store's character set. */
static int prop_path(const char *key, char *path, size_t cap)
{
	size_t len = strlen(key);

	if (len == 0 || len > 255 || key[0] == '.')
		return -1;
	for (size_t i = 0; i < len; i++) {
		char c = key[i];

		if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
		      strchr("._-:@", c)))
			return -1;
	}
	const char *dir = strncmp(key, "persist.", 8) == 0 ? persist_props_dir : props_dir;

	return (size_t)snprintf(path, cap, "%s/%s", dir, key) < cap ? 0 : -1;
}

static void do_read(char *path)
{
	ssize_t n = read_file(path);

	if (n < 0)
		reply_errno(path);
	else
		reply_raw("ok", content, (size_t)n);
}

static void do_write(char *path, char *text, int atomic)
{
	char count[32];
	size_t n = text_unescape(text);
	int rc = atomic ? put_file(path, text, n) : write_file(path, text, n, O_TRUNC);

	if (rc != 0) {
		reply_errno(path);
		return;
	}
	snprintf(count, sizeof(count), "%zu", n);
	reply_ok(count);
}

static void do_exec(const char *command)
{
	int pipe_fds[2];
	size_t total = 0;
	int status = 0;
	pid_t pid;
	char head[32];

	if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
		reply_errno("pipe");
		return;
	}
	pid = fork();
	if (pid < 0) {
		reply_errno("fork");
		close(pipe_fds[0]);
		close(pipe_fds[1]);
		return;
	}
	if (pid == 0) {
		dup2(pipe_fds[1], 1);
		dup2(pipe_fds[1], 2);
		/* A command that never ends would stop the agent for good. */
		alarm(kExecLimitSeconds);
		execl("/bin/sh", "sh", "-c", command, (char *)NULL);
		_exit(127);
	}
	close(pipe_fds[1]);
	for (;;) {
		char sink[4096];
		size_t room = sizeof(content) - total;
		ssize_t r = room > 0 ? read(pipe_fds[0], content + total, room)
				     : read(pipe_fds[0], sink, sizeof(sink));

		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			break;
		if (room > 0)
			total += (size_t)r;
	}
	close(pipe_fds[0]);
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
	}
	snprintf(head, sizeof(head), "ok %d",
		 WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
	reply_raw(head, content, total);
}

/* The peak resident size (VmHWM) in kB of a process, 0 when it has none. */
static long peak_kb(int pid)
{
	char path[64], line[256];
	long kb = 0;
	FILE *f;

	snprintf(path, sizeof(path), "/proc/%d/status", pid);
	f = fopen(path, "re");
	if (!f)
		return 0;
	while (fgets(line, sizeof(line), f))
		if (sscanf(line, "VmHWM: %ld", &kb) == 1)
			break;
	fclose(f);
	return kb;
}

/* One "PID STATE VMHWM_KB COMM\n" line from /proc/PID/stat ("PID (COMM) S ..."). */
static size_t process_line(int pid, char *out, size_t cap)
{
	char path[64], stat[512];
	char *open_paren, *close_paren;
	ssize_t n;
	int fd;

	snprintf(path, sizeof(path), "/proc/%d/stat", pid);
	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return 0;
	n = read(fd, stat, sizeof(stat) - 1);
	close(fd);
	if (n <= 0)
		return 0;
	stat[n] = '\0';
	open_paren = strchr(stat, '(');
	close_paren = strrchr(stat, ')');
	if (!open_paren || !close_paren || close_paren < open_paren || close_paren[1] != ' ')
		return 0;
	n = snprintf(out, cap, "%d %c %ld %.*s\n", pid, close_paren[2], peak_kb(pid),
		     (int)(close_paren - open_paren - 1), open_paren + 1);
	return n > 0 && (size_t)n < cap ? (size_t)n : 0;
}

static void do_ps(void)
{
	DIR *dir = opendir("/proc");
	struct dirent *entry;
	size_t used = 0;

	if (!dir) {
		reply_errno("/proc");
		return;
	}
	while ((entry = readdir(dir)) != NULL) {
		char *end;
		long pid = strtol(entry->d_name, &end, 10);

		if (pid > 0 && *end == '\0')
			used += process_line((int)pid, content + used, sizeof(content) - used);
	}
	closedir(dir);
	reply_raw("ok", content, used);
}

static void do_getprop(char *key)
{
	char path[512];
	ssize_t n;

	if (prop_path(key, path, sizeof(path)) != 0) {
		reply_err("bad key");
		return;
	}
	n = read_file(path);
	if (n < 0 && errno == ENOENT)
		reply_err("unset");
	else if (n < 0)
		reply_errno(path);
	else
		reply_raw("ok", content, (size_t)n);
}

static void do_setprop(char *key, char *value)
{
	char path[512];
	size_t n = text_unescape(value);

	if (prop_path(key, path, sizeof(path)) != 0) {
		reply_err("bad key");
		return;
	}
	if (n > 91) {
		reply_err("value longer than 91 bytes");
		return;
	}
	if (strncmp(key, "ro.", 3) == 0 && access(path, F_OK) == 0) {
		reply_err("read-only property exists");
		return;
	}
	if (put_file(path, value, n) != 0)
		reply_errno(path);
	else
		reply_ok(NULL);
}

static void do_supply(char *name, char *value)
{
	char path[256];

	if (strchr(name, '/') ||
	    (size_t)snprintf(path, sizeof(path), "%s/%s", supply_dir, name) >= sizeof(path)) {
		reply_err("bad supply value name");
		return;
	}
	do_write(path, value, 0);
}

static void do_reboot(char *reason)
{
#ifdef LUMO_AGENT_TEST
	(void)reason;
	reply_err("no restart in a test build");
	return;
#endif
	reply_ok(NULL);
	sync();
	if (reason && *reason) {
		text_unescape(reason);
		syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2,
			LINUX_REBOOT_CMD_RESTART2, reason);
	} else {
		reboot(RB_AUTOBOOT);
	}
}

/* Splits off the first blank-separated word of *rest and unescapes it. */
static char *next_word(char **rest)
{
	char *word = *rest;
	char *blank;

	if (!word)
		return NULL;
	blank = strchr(word, ' ');
	if (blank) {
		*blank = '\0';
		*rest = blank + 1;
	} else {
		*rest = NULL;
	}
	text_unescape(word);
	return word;
}

static void serve(char *line)
{
	char *rest = line;
	char *cmd = next_word(&rest);

	if (strcmp(cmd, "ping") == 0) {
		reply_ok("pong");
	} else if (strcmp(cmd, "read") == 0 && rest) {
		do_read(next_word(&rest));
	} else if ((strcmp(cmd, "write") == 0 || strcmp(cmd, "put") == 0) && rest) {
		char *path = next_word(&rest);

		do_write(path, rest ? rest : (char[]){ "" }, cmd[0] == 'p');
	} else if (strcmp(cmd, "remove") == 0 && rest) {
		char *path = next_word(&rest);

		if (unlink(path) != 0)
			reply_errno(path);
		else
			reply_ok(NULL);
	} else if (strcmp(cmd, "exec") == 0 && rest) {
		text_unescape(rest);
		do_exec(rest);
	} else if (strcmp(cmd, "ps") == 0) {
		do_ps();
	} else if (strcmp(cmd, "supply") == 0 && rest) {
		char *name = next_word(&rest);

		do_supply(name, rest ? rest : (char[]){ "" });
	} else if (strcmp(cmd, "getprop") == 0 && rest) {
		do_getprop(next_word(&rest));
	} else if (strcmp(cmd, "setprop") == 0 && rest) {
		char *key = next_word(&rest);

		do_setprop(key, rest ? rest : (char[]){ "" });
	} else if (strcmp(cmd, "start") == 0) {
		if (put_file(start_flag, "1", 1) != 0)
			reply_errno(start_flag);
		else
			reply_ok(NULL);
	} else if (strcmp(cmd, "reboot") == 0) {
		do_reboot(rest);
	} else if (strcmp(cmd, "poweroff") == 0) {
#ifdef LUMO_AGENT_TEST
		reply_err("no power-off in a test build");
		return;
#endif
		reply_ok(NULL);
		sync();
		reboot(RB_POWER_OFF);
	} else {
		reply_err("unknown request");
	}
}

static char line[LINE_MAX_BYTES];
static size_t line_used;

/* Takes one byte of a request; serves the line at its newline. A line longer
 * than the buffer is answered "err line too long" when it ends. */
static void take_byte(char c)
{
	if (c != '\n') {
		if (line_used < sizeof(line) - 1)
			line[line_used++] = c;
		else
			line_used = sizeof(line); /* too long: remembered until the newline */
		return;
	}
	if (line_used >= sizeof(line)) {
		reply_err("line too long");
	} else {
		line[line_used] = '\0';
		if (line_used > 0)
			serve(line);
	}
	line_used = 0;
}

#ifdef LUMO_AGENT_TEST
/* Host tests: requests on standard input until its end, replies on standard
 * output, the fixed places under $LUMO_AGENT_ROOT, no restart, no power-off. */
int main(void)
{
	const char *root = getenv("LUMO_AGENT_ROOT");
	char c;

	if (!root || !*root)
		return 2;
	snprintf(props_dir, sizeof(props_dir), "%s/properties", root);
	snprintf(persist_props_dir, sizeof(persist_props_dir), "%s/persist", root);
	snprintf(start_flag, sizeof(start_flag), "%s/start", root);
	snprintf(supply_dir, sizeof(supply_dir), "%s/supply", root);
	port_fd = 1;
	while (read(0, &c, 1) == 1)
		take_byte(c);
	return 0;
}
#else
static const char kPortName[] = "lumo.agent";

/* The device node of the port named lumo.agent, e.g. /dev/vport0p1. */
static int find_port(char *path, size_t cap)
{
	DIR *dir = opendir("/sys/class/virtio-ports");
	struct dirent *entry;
	int found = -1;

	if (!dir)
		return -1;
	while (found != 0 && (entry = readdir(dir)) != NULL) {
		char name_path[512];
		char name[64] = "";
		FILE *f;

		if (entry->d_name[0] == '.')
			continue;
		snprintf(name_path, sizeof(name_path), "/sys/class/virtio-ports/%s/name",
			 entry->d_name);
		f = fopen(name_path, "re");
		if (!f)
			continue;
		if (fgets(name, sizeof(name), f) && strncmp(name, kPortName, strlen(kPortName)) == 0 &&
		    (name[strlen(kPortName)] == '\n' || name[strlen(kPortName)] == '\0'))
			found = (size_t)snprintf(path, cap, "/dev/%s", entry->d_name) < cap ? 0 : -1;
		fclose(f);
	}
	closedir(dir);
	return found;
}

int main(void)
{
	char path[300];
	int tries;

	for (tries = 0; find_port(path, sizeof(path)) != 0; tries++) {
		if (tries == 300) {
			fprintf(stderr, "lumo-agent: no virtio port named %s\n", kPortName);
			return 1;
		}
		usleep(100 * 1000);
	}
	for (;;) {
		char c;
		ssize_t r;

		if (port_fd < 0) {
			port_fd = open(path, O_RDWR | O_CLOEXEC);
			if (port_fd < 0) {
				usleep(100 * 1000);
				continue;
			}
		}
		r = read(port_fd, &c, 1);
		if (r < 0 && errno == EINTR)
			continue;
		if (r == 0) {
			/* No host connected: the port neither blocks nor polls until one
			 * is, so look again shortly. The port stays open: closing it
			 * would drop a request that arrived meanwhile. A partial line
			 * of the host that left is dropped. */
			line_used = 0;
			usleep(20 * 1000);
			continue;
		}
		if (r < 0) {
			close(port_fd);
			port_fd = -1;
			usleep(100 * 1000);
			continue;
		}
		take_byte(c);
	}
}
#endif
