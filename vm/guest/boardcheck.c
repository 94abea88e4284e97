/*
 * lumo-boardcheck: the program the virtual phone runs when no lumoboot binary
 * was put into the image. It exercises the board the way lumoboot would and
 * reports each finding as a kernel log line "boardcheck: ..." (through
 * /dev/kmsg, so the host reads them on the serial console):
 *
 *   boardcheck: start
 *   boardcheck: supply NAME type=T online=... / capacity=... voltage_now=...
 *   boardcheck: fb XRESxYRES BPP bpp, N page(s), drew page P, shown P
 *   boardcheck: pattern PAGE COLOR1 COLOR2 COLOR3 COLOR4 (0xRRGGBB of the four bands)
 *   boardcheck: blank ok | blank failed
 *   boardcheck: listening (N input devices)
 *   boardcheck: uevent ACTION@DEVPATH   (power-supply uevents only)
 *   boardcheck: key CODE VALUE eventN
 *   boardcheck: logo shown on page 0 (PIXELS pixels)   after key 107 goes down
 *
 * The pattern: four horizontal bands, red, green, blue and white, drawn on the
 * page that is not shown (page 1 of two; page 0 of a single-page screen),
 * then panned to. Page 0 of a two-page screen is filled grey first, so a grab
 * of the wrong page shows.
 *
 * Key 107 (end) going down draws /initlogo.rle (runs of RGB565 pixels) into
 * page 0, widened to the screen's format, and pans there with
 * FBIOPUT_VSCREENINFO (the pattern was shown with FBIOPAN_DISPLAY): the
 * host's check of a boot logo on screen can be tried without lumoboot.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fb.h>
#include <linux/input.h>
#include <linux/netlink.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#define MAX_INPUTS 8

static int kmsg_fd = -1;

static void report(const char *fmt, ...)
{
	char line[512];
	int n = snprintf(line, sizeof(line), "<5>boardcheck: ");
	va_list args;

	va_start(args, fmt);
	n += vsnprintf(line + n, sizeof(line) - (size_t)n, fmt, args);
	va_end(args);
	/* A kernel log record without its newline stays open for a continuation
	 * and reaches the console only with the next record. */
	if (n >= (int)sizeof(line) - 1)
		n = sizeof(line) - 2;
	line[n++] = '\n';
	if (kmsg_fd < 0 || write(kmsg_fd, line, (size_t)n) < 0)
		fprintf(stderr, "%.*s", n - 3, line + 3);
}

static void read_attr(const char *dir, const char *name, char *out, size_t cap)
{
	char path[512];
	int fd;
	ssize_t n;

	snprintf(path, sizeof(path), "%s/%s", dir, name);
	snprintf(out, cap, "-");
	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	n = read(fd, out, cap - 1);
	close(fd);
	if (n <= 0)
		return;
	while (n > 0 && out[n - 1] == '\n')
		n--;
	out[n] = '\0';
}

static void report_supplies(void)
{
	static const char *const battery_attrs[] = { "status", "health", "present", "capacity",
						     "voltage_now", "temp", "technology", "charge_now",
						     "current_now", "is_adapt_completed" };
	DIR *dir = opendir("/sys/class/power_supply");
	struct dirent *entry;

	if (!dir) {
		report("no /sys/class/power_supply");
		return;
	}
	while ((entry = readdir(dir)) != NULL) {
		char base[300], type[32], text[512], value[64];
		size_t used = 0;

		if (entry->d_name[0] == '.')
			continue;
		snprintf(base, sizeof(base), "/sys/class/power_supply/%s", entry->d_name);
		read_attr(base, "type", type, sizeof(type));
		if (strcmp(type, "Battery") != 0) {
			read_attr(base, "online", value, sizeof(value));
			report("supply %s type=%s online=%s", entry->d_name, type, value);
			continue;
		}
		for (size_t i = 0; i < sizeof(battery_attrs) / sizeof(battery_attrs[0]); i++) {
			read_attr(base, battery_attrs[i], value, sizeof(value));
			used += (size_t)snprintf(text + used, sizeof(text) - used, " %s=%s",
						 battery_attrs[i], value);
			if (used >= sizeof(text))
				break;
		}
		report("supply %s type=%s%s", entry->d_name, type, text);
	}
	closedir(dir);
}

static uint32_t pack(const struct fb_var_screeninfo *var, uint32_t rgb)
{
	uint32_t r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;

	return ((r >> (8 - var->red.length)) << var->red.offset) |
	       ((g >> (8 - var->green.length)) << var->green.offset) |
	       ((b >> (8 - var->blue.length)) << var->blue.offset);
}

static void fill_rows(uint8_t *page, const struct fb_var_screeninfo *var, uint32_t line_length,
		      uint32_t first, uint32_t count, uint32_t rgb)
{
	uint32_t pixel = pack(var, rgb);

	for (uint32_t y = first; y < first + count; y++) {
		uint8_t *row = page + (size_t)y * line_length;

		for (uint32_t x = 0; x < var->xres; x++) {
			if (var->bits_per_pixel == 16)
				((uint16_t *)row)[x] = (uint16_t)pixel;
			else
				((uint32_t *)row)[x] = pixel;
		}
	}
}

/* Opens the screen and maps every page; NULL on failure (reported). */
static uint8_t *map_screen(int *fd, struct fb_var_screeninfo *var, struct fb_fix_screeninfo *fix,
			   size_t *bytes)
{
	uint8_t *mem;

	*fd = open("/dev/graphics/fb0", O_RDWR | O_CLOEXEC);
	if (*fd < 0 || ioctl(*fd, FBIOGET_VSCREENINFO, var) != 0 ||
	    ioctl(*fd, FBIOGET_FSCREENINFO, fix) != 0) {
		report("fb failed: %s", strerror(errno));
		if (*fd >= 0)
			close(*fd);
		return NULL;
	}
	*bytes = (size_t)fix->line_length * var->yres_virtual;
	mem = mmap(NULL, *bytes, PROT_READ | PROT_WRITE, MAP_SHARED, *fd, 0);
	if (mem == MAP_FAILED) {
		report("fb mmap failed: %s", strerror(errno));
		close(*fd);
		return NULL;
	}
	return mem;
}

static void put_pixel(uint8_t *page, const struct fb_var_screeninfo *var, uint32_t line_length,
		      size_t index, uint16_t rgb565)
{
	uint8_t *row = page + (index / var->xres) * line_length;
	uint32_t r = rgb565 >> 11, g = (rgb565 >> 5) & 0x3f, b = rgb565 & 0x1f;
	uint32_t rgb = (((r << 3) | (r >> 2)) << 16) | (((g << 2) | (g >> 4)) << 8) |
		       ((b << 3) | (b >> 2));

	if (var->bits_per_pixel == 16)
		((uint16_t *)row)[index % var->xres] = rgb565;
	else
		((uint32_t *)row)[index % var->xres] = pack(var, rgb);
}

static void show_logo(void)
{
	struct fb_var_screeninfo var;
	struct fb_fix_screeninfo fix;
	size_t bytes, drawn = 0;
	uint8_t run[4];
	int fd, logo;
	uint8_t *mem = map_screen(&fd, &var, &fix, &bytes);

	if (!mem)
		return;
	logo = open("/initlogo.rle", O_RDONLY | O_CLOEXEC);
	while (logo >= 0 && read(logo, run, sizeof(run)) == (ssize_t)sizeof(run)) {
		size_t count = run[0] | (run[1] << 8);
		uint16_t colour = (uint16_t)(run[2] | (run[3] << 8));

		if (count > (size_t)var.xres * var.yres - drawn)
			break;
		for (size_t i = 0; i < count; i++)
			put_pixel(mem, &var, fix.line_length, drawn++, colour);
	}
	if (logo >= 0)
		close(logo);
	/* The other way to pan: a screen-information request with a new offset. */
	var.yoffset = 0;
	var.activate = FB_ACTIVATE_NOW;
	if (ioctl(fd, FBIOPUT_VSCREENINFO, &var) != 0)
		report("pan by screen information failed: %s", strerror(errno));
	report("logo shown on page 0 (%zu pixels)", drawn);
	munmap(mem, bytes);
	close(fd);
}

static void check_screen(void)
{
	static const uint32_t bands[4] = { 0xff0000, 0x00ff00, 0x0000ff, 0xffffff };
	struct fb_var_screeninfo var;
	struct fb_fix_screeninfo fix;
	uint32_t pages, target;
	size_t page_bytes, bytes;
	int fd;
	uint8_t *mem = map_screen(&fd, &var, &fix, &bytes);

	if (!mem)
		return;
	pages = var.yres_virtual / var.yres;
	page_bytes = (size_t)fix.line_length * var.yres;
	target = pages > 1 ? 1 : 0;
	if (pages > 1)
		fill_rows(mem, &var, fix.line_length, 0, var.yres, 0x808080);
	for (uint32_t band = 0; band < 4; band++)
		fill_rows(mem + page_bytes * target, &var, fix.line_length, band * var.yres / 4,
			  var.yres / 4, bands[band]);
	var.yoffset = target * var.yres;
	if (ioctl(fd, FBIOPAN_DISPLAY, &var) != 0)
		report("pan failed: %s", strerror(errno));
	ioctl(fd, FBIOGET_VSCREENINFO, &var);
	report("fb %ux%u %u bpp, %u page(s), drew page %u, shown %u", var.xres, var.yres,
	       var.bits_per_pixel, pages, target, var.yoffset / var.yres);
	report("pattern %u %06x %06x %06x %06x", target, bands[0], bands[1], bands[2], bands[3]);
	if (ioctl(fd, FBIOBLANK, FB_BLANK_POWERDOWN) == 0 && ioctl(fd, FBIOBLANK, FB_BLANK_UNBLANK) == 0)
		report("blank ok");
	else
		report("blank failed: %s", strerror(errno));
	munmap(mem, bytes);
	close(fd);
}

static int open_uevents(void)
{
	struct sockaddr_nl addr = { .nl_family = AF_NETLINK, .nl_groups = 1 };
	int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);

	if (fd < 0)
		return -1;
	if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

static int open_inputs(struct pollfd *fds, char names[][16], int first)
{
	int count = first;

	for (int i = 0; i < 32 && count < first + MAX_INPUTS; i++) {
		char path[32];
		int fd;

		snprintf(path, sizeof(path), "/dev/input/event%d", i);
		fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
		if (fd < 0)
			continue;
		fds[count] = (struct pollfd){ .fd = fd, .events = POLLIN };
		snprintf(names[count], 16, "event%d", i);
		count++;
	}
	return count;
}

static void on_uevent(int fd)
{
	char buf[2048];
	ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);

	if (n <= 0)
		return;
	buf[n] = '\0';
	if (strstr(buf, "power_supply"))
		report("uevent %s", buf);
}

static void on_input(int fd, const char *name)
{
	struct input_event ev[16];
	ssize_t n = read(fd, ev, sizeof(ev));

	for (ssize_t i = 0; n > 0 && i < n / (ssize_t)sizeof(ev[0]); i++) {
		if (ev[i].type != EV_KEY)
			continue;
		report("key %u %d %s", ev[i].code, ev[i].value, name);
		if (ev[i].code == KEY_END && ev[i].value == 1)
			show_logo();
	}
}

int main(void)
{
	struct pollfd fds[1 + MAX_INPUTS];
	char names[1 + MAX_INPUTS][16];
	int count;

	kmsg_fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC);
	report("start");
	fds[0] = (struct pollfd){ .fd = open_uevents(), .events = POLLIN };
	if (fds[0].fd < 0)
		report("uevent socket failed: %s", strerror(errno));
	report_supplies();
	check_screen();
	count = open_inputs(fds, names, 1);
	report("listening (%d input devices)", count - 1);
	for (;;) {
		if (poll(fds, (nfds_t)count, -1) < 0 && errno != EINTR)
			return 1;
		if (fds[0].revents & POLLIN)
			on_uevent(fds[0].fd);
		for (int i = 1; i < count; i++)
			if (fds[i].revents & POLLIN)
				on_input(fds[i].fd, names[i]);
	}
}
