// SPDX-License-Identifier: GPL-2.0
/*
 * lumo_fb: the virtual phone's screen, a framebuffer in RAM hidden from Linux.
 *
 * The board boots with mem=480M on a 512 MiB machine, so the top 32 MiB of
 * RAM (from phys, 0x5e000000 by default) belong to no one; this module claims
 * that window. Its first 4 KiB hold a status block that the host reads while
 * the machine is stopped (QMP stop, pmemsave, cont); the pixel pages follow
 * at offset 4096. Layout of the status block, little-endian 32-bit words:
 *
 *   0 magic "LUFB" (0x4246554c)   1 version (1)      2 seq (+1 per update)
 *   3 xres    4 yres    5 xres_virtual    6 yres_virtual    7 bits_per_pixel
 *   8 line_length (bytes)    9 pixel_offset (4096, from the window's start)
 *  10 yoffset   11 page shown (yoffset / yres)   12 pan count
 *  13 blank (the last FB_BLANK_* level, 0 = unblanked)
 *  14 red offset   15 green offset   16 blue offset (bit positions)
 *
 * Module parameters: xres, yres (480x800), bpp (16: RGB565; 32: XRGB8888,
 * red at bit 16), pages (2: two pages panned with FBIOPAN_DISPLAY; 1: a
 * single-page screen, yres_virtual = yres), phys and window (the hidden
 * RAM). Panning is real: the page shown is the one the status block names.
 * The screen starts black and unblanked.
 */
#include <linux/fb.h>
#include <linux/io.h>
#include <linux/ioport.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/platform_device.h>

#define STATUS_BYTES 4096
#define STATUS_MAGIC 0x4246554c

enum status_word {
	ST_MAGIC, ST_VERSION, ST_SEQ, ST_XRES, ST_YRES, ST_XRES_VIRTUAL, ST_YRES_VIRTUAL, ST_BPP,
	ST_LINE_LENGTH, ST_PIXEL_OFFSET, ST_YOFFSET, ST_PAGE, ST_PANS, ST_BLANK, ST_RED, ST_GREEN,
	ST_BLUE, ST_WORDS
};

static unsigned int xres = 480;
module_param(xres, uint, 0444);
static unsigned int yres = 800;
module_param(yres, uint, 0444);
static unsigned int bpp = 16;
module_param(bpp, uint, 0444);
MODULE_PARM_DESC(bpp, "16 (RGB565) or 32 (XRGB8888)");
static unsigned int pages = 2;
module_param(pages, uint, 0444);
MODULE_PARM_DESC(pages, "2 (panned) or 1 (single page)");
static unsigned long phys = 0x5e000000;
module_param(phys, ulong, 0444);
MODULE_PARM_DESC(phys, "physical address of the hidden RAM window");
static unsigned long window = 32UL << 20;
module_param(window, ulong, 0444);
MODULE_PARM_DESC(window, "size of the hidden RAM window in bytes");

static struct platform_device *board;
static struct fb_info *info;
static void __iomem *status;
static DEFINE_SPINLOCK(status_lock);
static u32 seq, pans, blank_level;
static u32 pseudo_palette[16];

static void put(enum status_word word, u32 value)
{
	iowrite32(value, status + 4 * word);
}

/* Rewrites the status block; the caller holds status_lock. */
static void publish(const struct fb_var_screeninfo *var)
{
	put(ST_SEQ, ++seq);
	put(ST_YOFFSET, var->yoffset);
	put(ST_PAGE, var->yoffset / var->yres);
	put(ST_PANS, pans);
	put(ST_BLANK, blank_level);
}

static void publish_geometry(const struct fb_info *fb)
{
	unsigned long flags;

	spin_lock_irqsave(&status_lock, flags);
	put(ST_VERSION, 1);
	put(ST_XRES, fb->var.xres);
	put(ST_YRES, fb->var.yres);
	put(ST_XRES_VIRTUAL, fb->var.xres_virtual);
	put(ST_YRES_VIRTUAL, fb->var.yres_virtual);
	put(ST_BPP, fb->var.bits_per_pixel);
	put(ST_LINE_LENGTH, fb->fix.line_length);
	put(ST_PIXEL_OFFSET, STATUS_BYTES);
	put(ST_RED, fb->var.red.offset);
	put(ST_GREEN, fb->var.green.offset);
	put(ST_BLUE, fb->var.blue.offset);
	publish(&fb->var);
	put(ST_MAGIC, STATUS_MAGIC);
	spin_unlock_irqrestore(&status_lock, flags);
}

/* The screen has one mode: every request is answered with it; only the
 * vertical offset of a pan and the request's activation flags are kept. */
static int lumo_fb_check_var(struct fb_var_screeninfo *var, struct fb_info *fb)
{
	u32 yoffset = var->yoffset;
	u32 activate = var->activate;

	if (yoffset + fb->var.yres > fb->var.yres_virtual)
		return -EINVAL;
	*var = fb->var;
	var->yoffset = yoffset;
	var->activate = activate;
	return 0;
}

static int lumo_fb_set_par(struct fb_info *fb)
{
	return 0;
}

static int lumo_fb_pan_display(struct fb_var_screeninfo *var, struct fb_info *fb)
{
	unsigned long flags;

	if (var->xoffset != 0 || var->yoffset + fb->var.yres > fb->var.yres_virtual)
		return -EINVAL;
	spin_lock_irqsave(&status_lock, flags);
	pans++;
	publish(var);
	spin_unlock_irqrestore(&status_lock, flags);
	return 0;
}

static int lumo_fb_blank(int level, struct fb_info *fb)
{
	unsigned long flags;

	spin_lock_irqsave(&status_lock, flags);
	blank_level = level;
	publish(&fb->var);
	spin_unlock_irqrestore(&status_lock, flags);
	return 0;
}

static u32 channel(u32 value, const struct fb_bitfield *field)
{
	return (value >> (16 - field->length)) << field->offset;
}

static int lumo_fb_setcolreg(unsigned int regno, unsigned int red, unsigned int green,
			     unsigned int blue, unsigned int transp, struct fb_info *fb)
{
	if (regno >= ARRAY_SIZE(pseudo_palette))
		return -EINVAL;
	pseudo_palette[regno] = channel(red, &fb->var.red) | channel(green, &fb->var.green) |
				channel(blue, &fb->var.blue);
	return 0;
}

static const struct fb_ops lumo_fb_ops = {
	.owner = THIS_MODULE,
	.fb_check_var = lumo_fb_check_var,
	.fb_set_par = lumo_fb_set_par,
	.fb_setcolreg = lumo_fb_setcolreg,
	.fb_pan_display = lumo_fb_pan_display,
	.fb_blank = lumo_fb_blank,
	.fb_fillrect = cfb_fillrect,
	.fb_copyarea = cfb_copyarea,
	.fb_imageblit = cfb_imageblit,
};

static void set_mode(struct fb_var_screeninfo *var)
{
	var->xres = xres;
	var->yres = yres;
	var->xres_virtual = xres;
	var->yres_virtual = yres * pages;
	var->bits_per_pixel = bpp;
	var->activate = FB_ACTIVATE_NOW;
	var->height = -1;
	var->width = -1;
	var->vmode = FB_VMODE_NONINTERLACED;
	if (bpp == 16) {
		var->red = (struct fb_bitfield){ .offset = 11, .length = 5 };
		var->green = (struct fb_bitfield){ .offset = 5, .length = 6 };
		var->blue = (struct fb_bitfield){ .offset = 0, .length = 5 };
	} else {
		var->red = (struct fb_bitfield){ .offset = 16, .length = 8 };
		var->green = (struct fb_bitfield){ .offset = 8, .length = 8 };
		var->blue = (struct fb_bitfield){ .offset = 0, .length = 8 };
	}
}

static int check_parameters(unsigned long *pixel_bytes)
{
	if ((bpp != 16 && bpp != 32) || (pages != 1 && pages != 2) || xres == 0 || yres == 0 ||
	    xres > 4096 || yres > 4096) {
		pr_err("lumo_fb: unsupported mode %ux%u, %u bpp, %u pages\n", xres, yres, bpp, pages);
		return -EINVAL;
	}
	*pixel_bytes = PAGE_ALIGN((unsigned long)xres * yres * (bpp / 8) * pages);
	if (*pixel_bytes + STATUS_BYTES > window) {
		pr_err("lumo_fb: %lu bytes of pages do not fit the %lu-byte window\n", *pixel_bytes,
		       window);
		return -EINVAL;
	}
	return 0;
}

static int lumo_fb_probe(unsigned long pixel_bytes)
{
	info = framebuffer_alloc(0, &board->dev);
	if (!info)
		return -ENOMEM;
	strscpy(info->fix.id, "lumo-fb", sizeof(info->fix.id));
	info->fix.type = FB_TYPE_PACKED_PIXELS;
	info->fix.visual = FB_VISUAL_TRUECOLOR;
	info->fix.ypanstep = pages > 1 ? 1 : 0;
	info->fix.accel = FB_ACCEL_NONE;
	info->fix.line_length = xres * (bpp / 8);
	info->fix.smem_start = phys + STATUS_BYTES;
	info->fix.smem_len = pixel_bytes;
	set_mode(&info->var);
	info->fbops = &lumo_fb_ops;
	info->flags = FBINFO_DEFAULT;
	info->pseudo_palette = pseudo_palette;
	info->screen_base = (char __iomem *)status + STATUS_BYTES;
	info->screen_size = pixel_bytes;
	memset_io(info->screen_base, 0, pixel_bytes);
	publish_geometry(info);
	return register_framebuffer(info);
}

static int __init lumo_fb_init(void)
{
	unsigned long pixel_bytes;
	int err = check_parameters(&pixel_bytes);

	if (err)
		return err;
	if (!request_mem_region(phys, STATUS_BYTES + pixel_bytes, "lumo-fb")) {
		pr_err("lumo_fb: window at %#lx is taken\n", phys);
		return -EBUSY;
	}
	status = ioremap_wc(phys, STATUS_BYTES + pixel_bytes);
	if (!status) {
		err = -ENOMEM;
		goto no_map;
	}
	board = platform_device_register_simple("lumo-fb", PLATFORM_DEVID_NONE, NULL, 0);
	if (IS_ERR(board)) {
		err = PTR_ERR(board);
		goto no_board;
	}
	err = lumo_fb_probe(pixel_bytes);
	if (err)
		goto no_fb;
	pr_info("lumo_fb: fb%d %ux%u, %u bpp, %u page(s) at %#lx\n", info->node, xres, yres, bpp,
		pages, phys + STATUS_BYTES);
	return 0;
no_fb:
	if (info)
		framebuffer_release(info);
	platform_device_unregister(board);
no_board:
	iounmap(status);
no_map:
	release_mem_region(phys, STATUS_BYTES + pixel_bytes);
	return err;
}

static void __exit lumo_fb_exit(void)
{
	unsigned long pixel_bytes = info->fix.smem_len;

	unregister_framebuffer(info);
	framebuffer_release(info);
	platform_device_unregister(board);
	iounmap(status);
	release_mem_region(phys, STATUS_BYTES + pixel_bytes);
}

module_init(lumo_fb_init);
module_exit(lumo_fb_exit);
MODULE_DESCRIPTION("lumoboot virtual phone: framebuffer in hidden RAM with two pages");
MODULE_LICENSE("GPL");
