// SPDX-License-Identifier: GPL-2.0
/*
 * lumo_startup: the virtual phone's start-up source, "/sys/power/startup_mode"
 * and "/sys/power/app_boot".
 *
 * On a phone the kernel reports there how the phone was started (e.g.
 * "STARTMODE_CHGINS") and whether it came back from a restart ("reboot"); a
 * charging program reads both and writes a power-on reason ("charge_pwrkey",
 * "charge_rtc") into startup_mode on its way to Android.
 *
 * The /sys/power directory belongs to the kernel's power-management core,
 * whose kobject (power_kobj) is not exported to modules. This module finds
 * that kobject through the file system instead: it looks up "/sys/power"
 * with kern_path(), checks that the directory is sysfs, and takes the
 * kobject that sysfs keeps for every kobject directory (kernfs keeps its node
 * in the inode's private pointer, and the node's private pointer is the
 * kobject), holding a reference while the attributes exist. sysfs
 * must be mounted on /sys before the module loads (the board's init does
 * this first). The attributes are removed again when the module unloads.
 *
 * Each attribute holds one text of at most 127 bytes: the initial one from
 * the module parameter of the same name, later whatever is written (trailing
 * newlines dropped; a longer write is refused with EINVAL). Reads return the
 * text and a newline. Every write is logged ("lumo_startup: startup_mode <-
 * 'charge_pwrkey'"), so the host sees power-on reasons on the console.
 */
#include <linux/kernel.h>
#include <linux/kernfs.h>
#include <linux/kobject.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/namei.h>
#include <linux/string.h>
#include <linux/sysfs.h>
#include <uapi/linux/magic.h>

#define TEXT_SIZE 128

static char startup_mode[TEXT_SIZE] = "STARTMODE_CHGINS";
static char app_boot[TEXT_SIZE] = "";
module_param_string(startup_mode, startup_mode, TEXT_SIZE, 0);
MODULE_PARM_DESC(startup_mode, "initial text of /sys/power/startup_mode");
module_param_string(app_boot, app_boot, TEXT_SIZE, 0);
MODULE_PARM_DESC(app_boot, "initial text of /sys/power/app_boot");

static DEFINE_MUTEX(texts_lock);
static struct kobject *power_dir;

static char *text_of(struct kobj_attribute *attr);

static ssize_t text_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	ssize_t n;

	mutex_lock(&texts_lock);
	n = sysfs_emit(buf, "%s\n", text_of(attr));
	mutex_unlock(&texts_lock);
	return n;
}

static ssize_t text_store(struct kobject *kobj, struct kobj_attribute *attr, const char *buf,
			  size_t count)
{
	size_t len = count;

	while (len > 0 && buf[len - 1] == '\n')
		len--;
	if (len >= TEXT_SIZE)
		return -EINVAL;
	mutex_lock(&texts_lock);
	memcpy(text_of(attr), buf, len);
	text_of(attr)[len] = '\0';
	mutex_unlock(&texts_lock);
	pr_info("lumo_startup: %s <- '%.*s'\n", attr->attr.name, (int)len, buf);
	return count;
}

static struct kobj_attribute startup_mode_attr = __ATTR(startup_mode, 0644, text_show, text_store);
static struct kobj_attribute app_boot_attr = __ATTR(app_boot, 0644, text_show, text_store);
static struct attribute *attrs[] = { &startup_mode_attr.attr, &app_boot_attr.attr, NULL };
static const struct attribute_group group = { .attrs = attrs };

static char *text_of(struct kobj_attribute *attr)
{
	return attr == &startup_mode_attr ? startup_mode : app_boot;
}

/* The kobject behind the sysfs directory "/sys/power", with a reference. */
static struct kobject *find_power_dir(void)
{
	struct kobject *kobj = NULL;
	struct kernfs_node *kn;
	struct path path;

	if (kern_path("/sys/power", LOOKUP_FOLLOW | LOOKUP_DIRECTORY, &path))
		return NULL;
	if (path.dentry->d_sb->s_magic == SYSFS_MAGIC) {
		kn = d_inode(path.dentry)->i_private;
		if (kn && kernfs_type(kn) == KERNFS_DIR && kn->priv)
			kobj = kobject_get(kn->priv);
	}
	path_put(&path);
	return kobj;
}

static int __init lumo_startup_init(void)
{
	int err;

	power_dir = find_power_dir();
	if (!power_dir) {
		pr_err("lumo_startup: /sys/power not found (sysfs must be mounted on /sys)\n");
		return -ENOENT;
	}
	err = sysfs_create_group(power_dir, &group);
	if (err) {
		kobject_put(power_dir);
		return err;
	}
	return 0;
}

static void __exit lumo_startup_exit(void)
{
	sysfs_remove_group(power_dir, &group);
	kobject_put(power_dir);
}

module_init(lumo_startup_init);
module_exit(lumo_startup_exit);
MODULE_DESCRIPTION("lumoboot virtual phone: /sys/power/startup_mode and app_boot");
MODULE_LICENSE("GPL");
