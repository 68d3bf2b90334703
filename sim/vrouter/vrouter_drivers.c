// SPDX-License-Identifier: GPL-2.0
/*
 * The virtual router's stand-in for the two drivers the firmware reads: the mode slide
 * switch's /proc/slide_sw and the wireless driver's station table /proc/wlan0/sta_info.
 * Each holds a text that a test or a person sets by writing to it and reads back as the
 * driver's file does: the switch's first line is its position, the table is as written.
 * The switch is hardware and keeps its position across a restart, so the position it
 * has at load is a parameter, which the boot reads from the persistent disk.
 */
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/proc_fs.h>
#include <linux/uaccess.h>

/* A position and its line end, with room for a reading that is not one. */
#define SLIDE_SIZE 32
/* More than the 2048 bytes linkstatd reads, so that its limit can be reached. */
#define TABLE_SIZE 8192

static char *position = "3";
module_param(position, charp, 0444);
MODULE_PARM_DESC(position, "switch position at power-on: 1 AP, 2 WISP, 3 Router");

struct text {
	struct mutex lock;
	char *buf;
	size_t size;
	size_t len;
};

static char slide_buf[SLIDE_SIZE];
static char table_buf[TABLE_SIZE];
static struct text slide = { .buf = slide_buf, .size = SLIDE_SIZE };
static struct text table = { .buf = table_buf, .size = TABLE_SIZE };
static struct proc_dir_entry *wlan0;

static ssize_t text_read(struct file *file, char __user *ubuf, size_t count, loff_t *ppos)
{
	struct text *t = pde_data(file_inode(file));
	ssize_t n;

	mutex_lock(&t->lock);
	n = simple_read_from_buffer(ubuf, count, ppos, t->buf, t->len);
	mutex_unlock(&t->lock);
	return n;
}

/* A write from the start replaces the text; the writes that follow it in the same open
 * (a shell's buffered printf) carry on where it ended. */
static ssize_t text_write(struct file *file, const char __user *ubuf, size_t count,
			  loff_t *ppos)
{
	struct text *t = pde_data(file_inode(file));
	loff_t pos = *ppos;
	ssize_t n = count;

	mutex_lock(&t->lock);
	if (pos < 0 || pos > t->len || count > t->size - pos)
		n = -ENOSPC;
	else if (copy_from_user(t->buf + pos, ubuf, count))
		n = -EFAULT;
	else {
		t->len = pos + count;
		*ppos = t->len;
	}
	mutex_unlock(&t->lock);
	return n;
}

static const struct proc_ops text_ops = {
	.proc_read = text_read,
	.proc_write = text_write,
	.proc_lseek = default_llseek,
};

static int __init vrouter_drivers_init(void)
{
	mutex_init(&slide.lock);
	mutex_init(&table.lock);
	slide.len = min_t(size_t, snprintf(slide_buf, SLIDE_SIZE, "%s\n", position),
			  SLIDE_SIZE - 1);
	wlan0 = proc_mkdir("wlan0", NULL);
	if (!wlan0 || !proc_create_data("sta_info", 0644, wlan0, &text_ops, &table) ||
	    !proc_create_data("slide_sw", 0644, NULL, &text_ops, &slide)) {
		proc_remove(wlan0);
		return -ENOMEM;
	}
	return 0;
}

static void __exit vrouter_drivers_exit(void)
{
	remove_proc_entry("slide_sw", NULL);
	proc_remove(wlan0);
}

module_init(vrouter_drivers_init);
module_exit(vrouter_drivers_exit);
MODULE_DESCRIPTION("virtual router: the slide switch and station table drivers' files");
MODULE_LICENSE("GPL");
