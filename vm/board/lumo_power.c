// SPDX-License-Identifier: GPL-2.0
/*
 * lumo_power: the virtual phone's chargers and battery.
 *
 * Registers three power supplies under the platform device "lumo-power":
 * "Mains" (type Mains), "usb" (type USB) and "battery" (type Battery), with
 * the attributes a charging program reads (online; status, health, present,
 * capacity, voltage_now, temp, technology, charge_now, current_now and the
 * board's own is_adapt_completed).
 *
 * Every value is a module parameter, settable at load time and later through
 * /sys/module/lumo_power/parameters/<name>. A write stores the value and then
 * calls power_supply_changed() on the supply it belongs to, so the kernel
 * sends that supply's "change" uevent at once. While the parameter "hold" is
 * 1, writes only mark their supply changed; writing 0 to it then tells each
 * marked supply once (several values, one uevent per supply). Texts (status, health,
 * technology) take the words the power-supply class prints, case-insensitive,
 * with '_' standing for a blank, or the class's number.
 *
 * legacy_names=1 (at load) gives the battery the older attribute names some
 * phone kernels use instead of voltage_now and temp: batt_vol (in mV) and
 * batt_temp, from the same parameters.
 */
#include <linux/ctype.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/mutex.h>
#include <linux/platform_device.h>
#include <linux/power_supply.h>
#include <linux/string.h>

enum lumo_supply { SUPPLY_MAINS, SUPPLY_USB, SUPPLY_BATTERY, SUPPLY_COUNT };

/* The registered supplies; a value write tells its supply under the lock, so
 * a supply is never told after it has been unregistered. */
static DEFINE_MUTEX(supplies_lock);
static struct power_supply *supplies[SUPPLY_COUNT];
static bool holding;                  /* under supplies_lock */
static bool held_changes[SUPPLY_COUNT];
static struct platform_device *board;

/* One settable value: its current number, the supply told of a change, and
 * for texts the words by number. */
struct lumo_value {
	int value;
	enum lumo_supply supply;
	const char *const *words;
	unsigned int word_count;
};

static const char *const status_words[] = {
	"Unknown", "Charging", "Discharging", "Not charging", "Full",
};
static const char *const health_words[] = {
	"Unknown", "Good", "Overheat", "Dead", "Over voltage", "Unspecified failure", "Cold",
};
static const char *const technology_words[] = {
	"Unknown", "NiMH", "Li-ion", "Li-poly", "LiFe", "NiCd", "LiMn",
};

#define LUMO_INT(name, supply_id, initial) \
	static struct lumo_value name = { .value = (initial), .supply = (supply_id) }
#define LUMO_TEXT(name, supply_id, initial, table)                                 \
	static struct lumo_value name = { .value = (initial), .supply = (supply_id), \
					  .words = (table), .word_count = ARRAY_SIZE(table) }

LUMO_INT(ac_online, SUPPLY_MAINS, 1);
LUMO_INT(usb_online, SUPPLY_USB, 0);
LUMO_TEXT(battery_status, SUPPLY_BATTERY, POWER_SUPPLY_STATUS_CHARGING, status_words);
LUMO_TEXT(battery_health, SUPPLY_BATTERY, POWER_SUPPLY_HEALTH_GOOD, health_words);
LUMO_INT(battery_present, SUPPLY_BATTERY, 1);
LUMO_INT(battery_capacity, SUPPLY_BATTERY, 50);
LUMO_INT(battery_voltage_now, SUPPLY_BATTERY, 3800000); /* uV, as the class reports */
LUMO_INT(battery_temp, SUPPLY_BATTERY, 250);            /* tenths of a degree */
LUMO_TEXT(battery_technology, SUPPLY_BATTERY, POWER_SUPPLY_TECHNOLOGY_LION, technology_words);
LUMO_INT(battery_charge_now, SUPPLY_BATTERY, 5000);
LUMO_INT(battery_current_now, SUPPLY_BATTERY, 500);
LUMO_INT(battery_is_adapt_completed, SUPPLY_BATTERY, 1);

/* Compares a word of the class with user text: case-insensitive, '_' for ' '. */
static bool word_matches(const char *word, const char *text, size_t len)
{
	size_t i;

	if (strlen(word) != len)
		return false;
	for (i = 0; i < len; i++) {
		char c = text[i] == '_' ? ' ' : text[i];

		if (tolower(c) != tolower(word[i]))
			return false;
	}
	return true;
}

static int parse_value(const struct lumo_value *v, const char *text, int *out)
{
	size_t len = strcspn(text, "\n");
	char number[16];
	unsigned int i;

	for (i = 0; i < v->word_count; i++) {
		if (word_matches(v->words[i], text, len)) {
			*out = i;
			return 0;
		}
	}
	if (len == 0 || len >= sizeof(number))
		return -EINVAL;
	memcpy(number, text, len);
	number[len] = '\0';
	if (kstrtoint(number, 0, out))
		return -EINVAL;
	if (v->words && (*out < 0 || *out >= (int)v->word_count))
		return -EINVAL;
	return 0;
}

static int value_set(const char *text, const struct kernel_param *kp)
{
	struct lumo_value *v = kp->arg;
	struct power_supply *psy;
	int parsed;
	int err = parse_value(v, text, &parsed);

	if (err)
		return err;
	WRITE_ONCE(v->value, parsed);
	mutex_lock(&supplies_lock);
	psy = supplies[v->supply];
	if (holding)
		held_changes[v->supply] = true;
	else if (psy)
		power_supply_changed(psy);
	mutex_unlock(&supplies_lock);
	return 0;
}

static int hold_set(const char *text, const struct kernel_param *kp)
{
	bool hold;
	int i;

	if (kstrtobool(text, &hold))
		return -EINVAL;
	mutex_lock(&supplies_lock);
	holding = hold;
	for (i = 0; !hold && i < SUPPLY_COUNT; i++) {
		if (held_changes[i] && supplies[i])
			power_supply_changed(supplies[i]);
		held_changes[i] = false;
	}
	mutex_unlock(&supplies_lock);
	return 0;
}

static int hold_get(char *buffer, const struct kernel_param *kp)
{
	bool hold;

	mutex_lock(&supplies_lock);
	hold = holding;
	mutex_unlock(&supplies_lock);
	return scnprintf(buffer, PAGE_SIZE, "%d\n", hold);
}

static const struct kernel_param_ops hold_ops = { .set = hold_set, .get = hold_get };
module_param_cb(hold, &hold_ops, NULL, 0644);
MODULE_PARM_DESC(hold, "1: collect changes; 0: send one uevent per changed supply");

static int value_get(char *buffer, const struct kernel_param *kp)
{
	const struct lumo_value *v = kp->arg;
	int value = READ_ONCE(v->value);

	if (v->words)
		return scnprintf(buffer, PAGE_SIZE, "%s\n", v->words[value]);
	return scnprintf(buffer, PAGE_SIZE, "%d\n", value);
}

static const struct kernel_param_ops value_ops = {
	.set = value_set,
	.get = value_get,
};

#define LUMO_PARAM(name, what) \
	module_param_cb(name, &value_ops, &name, 0644); \
	MODULE_PARM_DESC(name, what)

LUMO_PARAM(ac_online, "Mains charger online (0/1)");
LUMO_PARAM(usb_online, "USB charger online (0/1)");
LUMO_PARAM(battery_status, "Unknown, Charging, Discharging, Not charging, Full");
LUMO_PARAM(battery_health, "Unknown, Good, Overheat, Dead, Over voltage, Unspecified failure, Cold");
LUMO_PARAM(battery_present, "battery present (0/1)");
LUMO_PARAM(battery_capacity, "level in percent");
LUMO_PARAM(battery_voltage_now, "battery voltage in uV");
LUMO_PARAM(battery_temp, "temperature in tenths of a degree");
LUMO_PARAM(battery_technology, "Unknown, NiMH, Li-ion, Li-poly, LiFe, NiCd, LiMn");
LUMO_PARAM(battery_charge_now, "charge_now (the charger's voltage in mV for lumoboot)");
LUMO_PARAM(battery_current_now, "current_now");
LUMO_PARAM(battery_is_adapt_completed, "is_adapt_completed (0/1)");

static int value_of(const struct lumo_value *v)
{
	return READ_ONCE(v->value);
}

static int online_get(struct power_supply *psy, enum power_supply_property psp,
		      union power_supply_propval *val)
{
	const struct lumo_value *v = power_supply_get_drvdata(psy);

	if (psp != POWER_SUPPLY_PROP_ONLINE)
		return -EINVAL;
	val->intval = value_of(v);
	return 0;
}

static int battery_get(struct power_supply *psy, enum power_supply_property psp,
		       union power_supply_propval *val)
{
	switch (psp) {
	case POWER_SUPPLY_PROP_STATUS: val->intval = value_of(&battery_status); break;
	case POWER_SUPPLY_PROP_HEALTH: val->intval = value_of(&battery_health); break;
	case POWER_SUPPLY_PROP_PRESENT: val->intval = value_of(&battery_present); break;
	case POWER_SUPPLY_PROP_CAPACITY: val->intval = value_of(&battery_capacity); break;
	case POWER_SUPPLY_PROP_VOLTAGE_NOW: val->intval = value_of(&battery_voltage_now); break;
	case POWER_SUPPLY_PROP_TEMP: val->intval = value_of(&battery_temp); break;
	case POWER_SUPPLY_PROP_TECHNOLOGY: val->intval = value_of(&battery_technology); break;
	case POWER_SUPPLY_PROP_CHARGE_NOW: val->intval = value_of(&battery_charge_now); break;
	case POWER_SUPPLY_PROP_CURRENT_NOW: val->intval = value_of(&battery_current_now); break;
	default: return -EINVAL;
	}
	return 0;
}

static enum power_supply_property online_props[] = { POWER_SUPPLY_PROP_ONLINE };
static enum power_supply_property battery_props[] = {
	POWER_SUPPLY_PROP_STATUS,      POWER_SUPPLY_PROP_HEALTH,     POWER_SUPPLY_PROP_PRESENT,
	POWER_SUPPLY_PROP_CAPACITY,    POWER_SUPPLY_PROP_VOLTAGE_NOW, POWER_SUPPLY_PROP_TEMP,
	POWER_SUPPLY_PROP_TECHNOLOGY,  POWER_SUPPLY_PROP_CHARGE_NOW, POWER_SUPPLY_PROP_CURRENT_NOW,
};

static bool legacy_names;
module_param(legacy_names, bool, 0444);
MODULE_PARM_DESC(legacy_names, "battery with batt_vol (mV) and batt_temp instead of voltage_now and temp");

static enum power_supply_property legacy_battery_props[] = {
	POWER_SUPPLY_PROP_STATUS,      POWER_SUPPLY_PROP_HEALTH,     POWER_SUPPLY_PROP_PRESENT,
	POWER_SUPPLY_PROP_CAPACITY,    POWER_SUPPLY_PROP_TECHNOLOGY, POWER_SUPPLY_PROP_CHARGE_NOW,
	POWER_SUPPLY_PROP_CURRENT_NOW,
};

static ssize_t batt_vol_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%d\n", value_of(&battery_voltage_now) / 1000);
}
static DEVICE_ATTR_RO(batt_vol);

static ssize_t batt_temp_show(struct device *dev, struct device_attribute *attr, char *buf)
{
	return sysfs_emit(buf, "%d\n", value_of(&battery_temp));
}
static DEVICE_ATTR_RO(batt_temp);

static ssize_t is_adapt_completed_show(struct device *dev, struct device_attribute *attr,
				       char *buf)
{
	return sysfs_emit(buf, "%d\n", value_of(&battery_is_adapt_completed));
}
static DEVICE_ATTR_RO(is_adapt_completed);

static struct attribute *battery_attrs[] = {
	&dev_attr_is_adapt_completed.attr, &dev_attr_batt_vol.attr, &dev_attr_batt_temp.attr, NULL,
};

static umode_t battery_attr_visible(struct kobject *kobj, struct attribute *attr, int n)
{
	if (attr == &dev_attr_batt_vol.attr || attr == &dev_attr_batt_temp.attr)
		return legacy_names ? attr->mode : 0;
	return attr->mode;
}

static const struct attribute_group battery_group = {
	.attrs = battery_attrs,
	.is_visible = battery_attr_visible,
};
static const struct attribute_group *battery_groups[] = { &battery_group, NULL };

static struct power_supply_desc descs[SUPPLY_COUNT] = {
	[SUPPLY_MAINS] = { .name = "Mains", .type = POWER_SUPPLY_TYPE_MAINS,
			   .properties = online_props, .num_properties = ARRAY_SIZE(online_props),
			   .get_property = online_get, .no_thermal = true },
	[SUPPLY_USB] = { .name = "usb", .type = POWER_SUPPLY_TYPE_USB,
			 .properties = online_props, .num_properties = ARRAY_SIZE(online_props),
			 .get_property = online_get, .no_thermal = true },
	[SUPPLY_BATTERY] = { .name = "battery", .type = POWER_SUPPLY_TYPE_BATTERY,
			     .properties = battery_props, .num_properties = ARRAY_SIZE(battery_props),
			     .get_property = battery_get, .no_thermal = true },
};

static void unregister_supplies(void)
{
	struct power_supply *gone[SUPPLY_COUNT];
	int i;

	mutex_lock(&supplies_lock);
	memcpy(gone, supplies, sizeof(gone));
	memset(supplies, 0, sizeof(supplies));
	mutex_unlock(&supplies_lock);
	for (i = SUPPLY_COUNT - 1; i >= 0; i--)
		if (gone[i])
			power_supply_unregister(gone[i]);
}

static int __init lumo_power_init(void)
{
	struct lumo_value *drvdata[SUPPLY_COUNT] = { &ac_online, &usb_online, NULL };
	int i;

	if (legacy_names) {
		descs[SUPPLY_BATTERY].properties = legacy_battery_props;
		descs[SUPPLY_BATTERY].num_properties = ARRAY_SIZE(legacy_battery_props);
	}
	board = platform_device_register_simple("lumo-power", PLATFORM_DEVID_NONE, NULL, 0);
	if (IS_ERR(board))
		return PTR_ERR(board);
	for (i = 0; i < SUPPLY_COUNT; i++) {
		struct power_supply_config config = { .drv_data = drvdata[i] };
		struct power_supply *psy;

		if (i == SUPPLY_BATTERY)
			config.attr_grp = battery_groups;
		psy = power_supply_register(&board->dev, &descs[i], &config);
		if (IS_ERR(psy)) {
			pr_err("lumo_power: %s not registered (%ld)\n", descs[i].name, PTR_ERR(psy));
			unregister_supplies();
			platform_device_unregister(board);
			return PTR_ERR(psy);
		}
		mutex_lock(&supplies_lock);
		supplies[i] = psy;
		mutex_unlock(&supplies_lock);
	}
	return 0;
}

static void __exit lumo_power_exit(void)
{
	unregister_supplies();
	platform_device_unregister(board);
}

module_init(lumo_power_init);
module_exit(lumo_power_exit);
MODULE_DESCRIPTION("lumoboot virtual phone: chargers and battery");
MODULE_LICENSE("GPL");
