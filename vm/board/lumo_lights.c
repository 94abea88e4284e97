// SPDX-License-Identifier: GPL-2.0
/*
 * lumo_lights: the virtual phone's LEDs, vibrator and backlight.
 *
 * Under the platform device "lumo-lights":
 *  - LEDs "red", "green" and "blue" (brightness 0-255; module parameter
 *    leds=0 leaves them out);
 *  - an LED "vibrator" (max_brightness 1) for the kernel's "transient"
 *    trigger: trigger=transient, duration=MS, activate=1 buzzes for MS
 *    (module parameter vibrator=0 leaves it out);
 *  - a backlight class device "lumo-backlight" (max_brightness 255, starts
 *    at 0; backlight=0 leaves it out).
 *
 * Lights change faster than a host can poll (a 150 ms buzz, 16 ms ramp
 * steps), so every change is also kept in a history of the last
 * HISTORY_SIZE changes, read from /sys/module/lumo_lights/parameters/history:
 * a first line "changes N" (all changes since load), then one line
 * "MS NAME VALUE" per kept change, oldest first, MS being milliseconds of
 * CLOCK_MONOTONIC. Changes may come from timer context (the transient
 * trigger), so the history takes a spinlock and never sleeps.
 */
#include <linux/backlight.h>
#include <linux/kernel.h>
#include <linux/ktime.h>
#include <linux/leds.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/platform_device.h>
#include <linux/spinlock.h>

#define HISTORY_SIZE 96

static bool leds = true;
module_param(leds, bool, 0444);
MODULE_PARM_DESC(leds, "register the red, green and blue LEDs");
static bool vibrator = true;
module_param(vibrator, bool, 0444);
MODULE_PARM_DESC(vibrator, "register the vibrator LED");
static bool backlight = true;
module_param(backlight, bool, 0444);
MODULE_PARM_DESC(backlight, "register the backlight device");

struct change {
	s64 ms;
	const char *name;
	unsigned int value;
};

static DEFINE_SPINLOCK(history_lock);
static struct change history[HISTORY_SIZE];
static u64 change_count;

static void remember(const char *name, unsigned int value)
{
	unsigned long flags;

	spin_lock_irqsave(&history_lock, flags);
	history[change_count % HISTORY_SIZE] =
		(struct change){ .ms = ktime_to_ms(ktime_get()), .name = name, .value = value };
	change_count++;
	spin_unlock_irqrestore(&history_lock, flags);
}

/* Formats under the lock: scnprintf does not sleep, and a line is at most
 * about 32 bytes, so the whole history fits the parameter's page. */
static int history_get(char *buffer, const struct kernel_param *kp)
{
	unsigned long flags;
	u64 first, i;
	int n;

	spin_lock_irqsave(&history_lock, flags);
	n = scnprintf(buffer, PAGE_SIZE, "changes %llu\n", change_count);
	first = change_count > HISTORY_SIZE ? change_count - HISTORY_SIZE : 0;
	for (i = first; i < change_count; i++) {
		const struct change *c = &history[i % HISTORY_SIZE];

		n += scnprintf(buffer + n, PAGE_SIZE - n, "%lld %s %u\n", c->ms, c->name, c->value);
	}
	spin_unlock_irqrestore(&history_lock, flags);
	return n;
}

static const struct kernel_param_ops history_ops = { .get = history_get };
module_param_cb(history, &history_ops, NULL, 0444);
MODULE_PARM_DESC(history, "the last changes of every light");

struct lumo_led {
	struct led_classdev cdev;
	bool registered;
};

static void led_set(struct led_classdev *cdev, enum led_brightness value)
{
	remember(cdev->name, value);
}

#define LUMO_LED(led_name, max) \
	{ .cdev = { .name = led_name, .max_brightness = (max), .brightness_set = led_set } }

enum { LED_RED, LED_GREEN, LED_BLUE, LED_VIBRATOR, LED_COUNT };
static struct lumo_led board_leds[LED_COUNT] = {
	[LED_RED] = LUMO_LED("red", 255),
	[LED_GREEN] = LUMO_LED("green", 255),
	[LED_BLUE] = LUMO_LED("blue", 255),
	[LED_VIBRATOR] = LUMO_LED("vibrator", 1),
};

static struct platform_device *board;
static struct backlight_device *panel_light;

static int backlight_update(struct backlight_device *bd)
{
	remember("lumo-backlight", backlight_get_brightness(bd));
	return 0;
}

static const struct backlight_ops backlight_ops = {
	.options = BL_CORE_SUSPENDRESUME,
	.update_status = backlight_update,
};

static void unregister_lights(void)
{
	int i;

	if (!IS_ERR_OR_NULL(panel_light))
		backlight_device_unregister(panel_light);
	panel_light = NULL;
	for (i = 0; i < LED_COUNT; i++) {
		if (board_leds[i].registered)
			led_classdev_unregister(&board_leds[i].cdev);
		board_leds[i].registered = false;
	}
}

static bool wanted(int led)
{
	return led == LED_VIBRATOR ? vibrator : leds;
}

static int __init lumo_lights_init(void)
{
	struct backlight_properties props = {
		.type = BACKLIGHT_RAW, .max_brightness = 255, .brightness = 0,
	};
	int i, err;

	board = platform_device_register_simple("lumo-lights", PLATFORM_DEVID_NONE, NULL, 0);
	if (IS_ERR(board))
		return PTR_ERR(board);
	for (i = 0; i < LED_COUNT; i++) {
		if (!wanted(i))
			continue;
		err = led_classdev_register(&board->dev, &board_leds[i].cdev);
		if (err)
			goto fail;
		board_leds[i].registered = true;
	}
	if (backlight) {
		panel_light = backlight_device_register("lumo-backlight", &board->dev, NULL,
							&backlight_ops, &props);
		if (IS_ERR(panel_light)) {
			err = PTR_ERR(panel_light);
			goto fail;
		}
	}
	return 0;
fail:
	unregister_lights();
	platform_device_unregister(board);
	return err;
}

static void __exit lumo_lights_exit(void)
{
	unregister_lights();
	platform_device_unregister(board);
}

module_init(lumo_lights_init);
module_exit(lumo_lights_exit);
MODULE_DESCRIPTION("lumoboot virtual phone: LEDs, vibrator and backlight");
MODULE_LICENSE("GPL");
