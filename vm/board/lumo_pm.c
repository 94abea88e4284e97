// SPDX-License-Identifier: GPL-2.0
/*
 * lumo_pm: the virtual phone's additions to /sys/power: the start-up source
 * files "startup_mode" and "app_boot", and the wake-lock files "wake_lock"
 * and "wake_unlock" of phone kernels (this kernel is built without them).
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
 * startup_mode and app_boot each hold one text of at most 127 bytes: the
 * initial one from the module parameter of the same name, later whatever is
 * written (trailing newlines dropped; a longer write is refused with EINVAL).
 * Reads return the text and a newline. Every write is logged ("lumo_pm:
 * startup_mode <- 'charge_pwrkey'"), so the host sees power-on reasons on the
 * console.
 *
 * Wake locks (module parameter wakelocks=0 leaves them out): writing a name
 * to wake_lock takes that lock, writing it to wake_unlock releases it (an
 * optional timeout after the name, as phone kernels take, is ignored).
 * Reading wake_lock lists the held locks, wake_unlock the released ones,
 * blank-separated. At most 32 names of at most 63 bytes; more names, longer
 * names, an empty one or the release of an unknown one are refused (EINVAL).
 * Every take and release is logged ("lumo_pm: wake_lock <- 'LumoBoot'").
 */
#include <linux/ctype.h>
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
#define LOCK_NAME_SIZE 64
#define LOCK_COUNT 32

static char startup_mode[TEXT_SIZE] = "STARTMODE_CHGINS";
static char app_boot[TEXT_SIZE] = "";
module_param_string(startup_mode, startup_mode, TEXT_SIZE, 0);
MODULE_PARM_DESC(startup_mode, "initial text of /sys/power/startup_mode");
module_param_string(app_boot, app_boot, TEXT_SIZE, 0);
MODULE_PARM_DESC(app_boot, "initial text of /sys/power/app_boot");

static bool wakelocks = true;
module_param(wakelocks, bool, 0444);
MODULE_PARM_DESC(wakelocks, "add /sys/power/wake_lock and wake_unlock");

struct wake_lock {
	char name[LOCK_NAME_SIZE];
	bool held;
};

static DEFINE_MUTEX(texts_lock);   /* the texts and the wake locks */
static struct wake_lock locks[LOCK_COUNT];
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
	pr_info("lumo_pm: %s <- '%.*s'\n", attr->attr.name, (int)len, buf);
	return count;
}

/* The lock named by the first word of buf (length *len), or a free slot when
 * create is set; NULL when there is none. Called with texts_lock held. */
static struct wake_lock *find_lock(const char *buf, size_t count, size_t *len, bool create)
{
	struct wake_lock *free_slot = NULL;
	int i;

	*len = 0;
	while (*len < count && !isspace(buf[*len]))
		(*len)++;
	if (*len == 0 || *len >= LOCK_NAME_SIZE)
		return NULL;
	for (i = 0; i < LOCK_COUNT; i++) {
		if (locks[i].name[0] == '\0') {
			free_slot = free_slot ? free_slot : &locks[i];
			continue;
		}
		if (strlen(locks[i].name) == *len && memcmp(locks[i].name, buf, *len) == 0)
			return &locks[i];
	}
	if (!create || !free_slot)
		return NULL;
	memcpy(free_slot->name, buf, *len);
	free_slot->name[*len] = '\0';
	return free_slot;
}

static ssize_t lock_store(struct kobj_attribute *attr, const char *buf, size_t count, bool take)
{
	struct wake_lock *lock;
	size_t len;

	mutex_lock(&texts_lock);
	lock = find_lock(buf, count, &len, take);
	if (lock)
		lock->held = take;
	mutex_unlock(&texts_lock);
	if (!lock)
		return -EINVAL;
	pr_info("lumo_pm: %s <- '%.*s'\n", attr->attr.name, (int)len, buf);
	return count;
}

static ssize_t locks_show(char *buf, bool held)
{
	ssize_t n = 0;
	int i;

	mutex_lock(&texts_lock);
	for (i = 0; i < LOCK_COUNT; i++)
		if (locks[i].name[0] != '\0' && locks[i].held == held)
			n += sysfs_emit_at(buf, n, "%s%s", n ? " " : "", locks[i].name);
	mutex_unlock(&texts_lock);
	n += sysfs_emit_at(buf, n, "\n");
	return n;
}

static ssize_t wake_lock_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	return locks_show(buf, true);
}

static ssize_t wake_lock_store(struct kobject *kobj, struct kobj_attribute *attr, const char *buf,
			       size_t count)
{
	return lock_store(attr, buf, count, true);
}

static ssize_t wake_unlock_show(struct kobject *kobj, struct kobj_attribute *attr, char *buf)
{
	return locks_show(buf, false);
}

static ssize_t wake_unlock_store(struct kobject *kobj, struct kobj_attribute *attr,
				 const char *buf, size_t count)
{
	return lock_store(attr, buf, count, false);
}

static struct kobj_attribute wake_lock_attr = __ATTR_RW(wake_lock);
static struct kobj_attribute wake_unlock_attr = __ATTR_RW(wake_unlock);
static struct attribute *lock_attrs[] = { &wake_lock_attr.attr, &wake_unlock_attr.attr, NULL };
static const struct attribute_group lock_group = { .attrs = lock_attrs };

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

static int __init lumo_pm_init(void)
{
	int err;

	power_dir = find_power_dir();
	if (!power_dir) {
		pr_err("lumo_pm: /sys/power not found (sysfs must be mounted on /sys)\n");
		return -ENOENT;
	}
	err = sysfs_create_group(power_dir, &group);
	if (!err && wakelocks) {
		err = sysfs_create_group(power_dir, &lock_group);
		if (err)
			sysfs_remove_group(power_dir, &group);
	}
	if (err) {
		kobject_put(power_dir);
		return err;
	}
	return 0;
}

static void __exit lumo_pm_exit(void)
{
	if (wakelocks)
		sysfs_remove_group(power_dir, &lock_group);
	sysfs_remove_group(power_dir, &group);
	kobject_put(power_dir);
}

module_init(lumo_pm_init);
module_exit(lumo_pm_exit);
MODULE_DESCRIPTION("lumoboot virtual phone: start-up source and wake locks in /sys/power");
MODULE_LICENSE("GPL");
