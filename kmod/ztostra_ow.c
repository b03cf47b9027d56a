// SPDX-License-Identifier: GPL-2.0
/*
 * ztostra_ow.c - the overwrite function: its settings, the total, the start
 * and the progress count; once started, a kernel thread writes partition 5
 * of the disk, one command after the other, as large as the disk takes.
 *
 * The run overwrites the share of the total that the start count leaves
 * (count 40: the last 60 percent).  Sector k of the total is sector k modulo
 * partition 5's sectors, in pass k / those sectors; the last pass writes
 * fixdata, the one before it the pranddata sequence, and so on alternating.
 * The count is the share of the total written, exactly 100 at the end.  Mode
 * 0 or a total of 0 finishes at once; a new start replaces the run; a write
 * that fails ends it there.  The settings written meanwhile apply to the
 * writes that follow.
 */
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/sched/task.h>
#include <linux/slab.h>
#include <linux/gfp.h>

#include "ztostra.h"

#define ZT_OW_MAX_COUNT 99	/* the largest start count */

static u32 zt_count_now(struct zt_port *zp)
{
	u32 count = 0;

	spin_lock(&zp->run_lock);
	if (zp->started)
		count = zt_ow_count(&zp->run, zp->written);
	spin_unlock(&zp->run_lock);
	return count;
}

int zt_get_owcount(struct zt_req *r, void *arg)
{
	*(u32 *)arg = zt_count_now(r->zp);
	return 0;
}

/* The largest buffer up to max bytes the allocator gives at once: its order. */
static struct page *zt_ow_buffer(unsigned int max, unsigned int *order)
{
	struct page *pages = NULL;

	for (*order = get_order(max); !pages; --*order) {
		pages = alloc_pages(GFP_KERNEL | __GFP_NOWARN | __GFP_NORETRY, *order);
		if (pages || !*order)
			break;
	}
	return pages;
}

static void zt_ow_put(struct zt_port *zp)
{
	struct module *owner = zp->disk->fops->owner;

	put_disk(zp->disk);
	module_put(owner);
	put_device(&zp->sdev->sdev_gendev);
	zp->disk = NULL;
	zp->sdev = NULL;
}

static int zt_ow_thread(void *data)
{
	struct zt_port *zp = data;
	unsigned int order, max = queue_max_sectors(zp->sdev->request_queue) << SECTOR_SHIFT;
	struct page *pages = zt_ow_buffer(max, &order);
	struct zt_cmd c = { .timeout_s = 60 };
	struct zt_ow_write w;
	bool more, fixed = false;
	u32 value, fixed_with = 0;
	unsigned int i;
	int rc = 0;

	c.buf = pages ? page_address(pages) : NULL;
	max = min_t(unsigned int, max, PAGE_SIZE << order) >> SECTOR_SHIFT;
	while (pages && !kthread_should_stop()) {
		spin_lock(&zp->run_lock);
		more = zt_ow_next(&zp->run, zp->written, U64_MAX, max, &w);
		value = w.random ? zp->pranddata : zp->fixdata;
		spin_unlock(&zp->run_lock);
		if (!more)
			break;
		/* a fixed pattern fills every sector alike: once */
		if (w.random || !fixed || fixed_with != value) {
			for (i = 0; i < (w.random ? w.sectors : max); i++)
				zt_fill(w.random, value, w.lba + i, c.buf + i * SECTOR_SIZE);
			fixed = !w.random;
			fixed_with = value;
		}
		c.tf = (struct zt_tf) {
			.command = ATA_CMD_WRITE_EXT,
			.device = ATA_LBA,
			.lba = w.lba,
			.count = w.sectors,
		};
		c.len = w.sectors << SECTOR_SHIFT;
		rc = zt_ata(zp->sdev, zp->disk, &c);
		spin_lock(&zp->run_lock);
		if (rc)
			zp->failed = true;
		else
			zp->written += w.sectors;
		spin_unlock(&zp->run_lock);
		if (rc) {
			pr_notice("%s: the overwrite failed at sector %llu (error %d, status %02x, error register %02x)\n",
				  zp->disk->disk_name, w.lba, rc, c.tf.status, c.tf.error);
			break;
		}
		cond_resched();
	}
	if (pages)
		__free_pages(pages, order);
	else
		pr_notice("%s: the overwrite has no buffer\n", zp->disk->disk_name);
	zt_ow_put(zp);
	return 0;
}

/*
 * Stops the run's thread, if any.  lost: the driver goes, and the run's
 * progress with it: the kernel log says how far it came.
 */
void zt_ow_stop(struct zt_port *zp, bool lost)
{
	struct task_struct *t = zp->thread;
	u64 written, need;
	bool cut;

	if (!t)
		return;
	zp->thread = NULL;
	if (kthread_stop(t) == -EINTR)	/* it never ran */
		zt_ow_put(zp);
	put_task_struct(t);
	spin_lock(&zp->run_lock);
	written = zp->written;
	need = zt_ow_need(&zp->run);
	cut = written < need && !zp->failed;
	if (cut)
		zp->failed = true;
	spin_unlock(&zp->run_lock);
	if (lost && cut)
		pr_notice("ztostra: an overwrite stopped after %llu of %llu sectors; its progress is lost\n",
			  written, need);
}

int zt_issue_owfunc(struct zt_req *r, void *arg)
{
	struct zt_port *zp = r->zp;
	u32 count = *(u32 *)arg;
	struct zt_ow_run run = { .start_count = count };
	struct task_struct *t;
	bool none;

	if (count > ZT_OW_MAX_COUNT)
		return -EINVAL;
	zt_ow_stop(zp, false);
	zt_part5(r->bdev->bd_disk, &run.p5_start, &run.p5_sectors);
	spin_lock(&zp->run_lock);
	run.total = zp->owmode == OVERWRITE_MODE0 ? 0 : zp->total;
	zp->run = run;
	zp->started = true;
	zp->written = 0;
	none = !zt_ow_need(&run);
	zp->failed = !none && !run.p5_sectors;	/* no overwrite partition */
	spin_unlock(&zp->run_lock);
	if (none || !run.p5_sectors)
		return 0;

	if (!try_module_get(r->bdev->bd_disk->fops->owner))
		return -ENODEV;
	zp->disk = r->bdev->bd_disk;
	get_device(disk_to_dev(zp->disk));
	zp->sdev = r->sdev;
	get_device(&zp->sdev->sdev_gendev);
	t = kthread_create(zt_ow_thread, zp, "ztostra-ow/%s", zp->disk->disk_name);
	if (IS_ERR(t)) {
		zt_ow_put(zp);
		return PTR_ERR(t);
	}
	get_task_struct(t);
	zp->thread = t;
	wake_up_process(t);
	return 0;
}

int zt_ow_op(struct zt_req *r, void *arg)
{
	struct ztostra_ow *ow = arg;
	struct zt_port *zp = r->zp;
	u64 start, sectors = 0;

	if (ow->op == ZTOSTRA_OW_GET) {
		zt_part5(r->bdev->bd_disk, &start, &sectors);
		memset(&ow->data, 0, sizeof(ow->data));	/* the padding too */
		spin_lock(&zp->run_lock);
		ow->data.owmode = zp->owmode;
		ow->data.owsw = zp->owsw;
		ow->data.fixdata = zp->fixdata;
		ow->data.pranddata = zp->pranddata;
		if (zp->started)
			ow->data.trcount = min(zp->written, zt_ow_need(&zp->run));
		spin_unlock(&zp->run_lock);
		ow->data.partsect = sectors;
		return 0;
	}
	if (ow->op != ZTOSTRA_OW_SET)
		return -EINVAL;
	/* owsw, trcount and partsect are the driver's own */
	if (ow->data.owmode < OVERWRITE_MODE0 || ow->data.owmode > OVERWRITE_MODE3)
		return -EINVAL;
	spin_lock(&zp->run_lock);
	zp->owmode = ow->data.owmode;
	zp->fixdata = ow->data.fixdata;
	zp->pranddata = ow->data.pranddata;
	spin_unlock(&zp->run_lock);
	return 0;
}

int zt_set_total(struct zt_req *r, void *arg)
{
	spin_lock(&r->zp->run_lock);
	r->zp->total = *(u64 *)arg;
	spin_unlock(&r->zp->run_lock);
	return 0;
}

int zt_clear_total(struct zt_req *r, void *arg)
{
	spin_lock(&r->zp->run_lock);
	r->zp->total = 0;
	spin_unlock(&r->zp->run_lock);
	return 0;
}
