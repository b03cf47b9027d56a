// SPDX-License-Identifier: GPL-2.0
/*
 * ztostra_ow.c - the overwrite function: its settings, the total, the start
 * and the progress count; once started, a kernel thread writes partition 5
 * of the disk, several commands in flight, each as large as the disk takes.
 *
 * The run overwrites the share of the total that the start count leaves
 * (count 40: the last 60 percent).  Sector k of the total is sector k modulo
 * partition 5's sectors, in pass k / those sectors; the last pass writes
 * fixdata, the one before it the pranddata sequence, and so on alternating.
 * The count is the share of the total written, exactly 100 at the end.  Mode
 * 0 or a total of 0 finishes at once; a new start replaces the run; a write
 * that fails three times ends it there.  The settings written meanwhile apply
 * to the writes that follow.
 */
#include <linux/kthread.h>
#include <linux/module.h>
#include <linux/sched/task.h>
#include <linux/slab.h>
#include <linux/gfp.h>
#include <linux/blk-mq.h>
#include <linux/libata.h>
#include <linux/sizes.h>
#include <scsi/scsi_cmnd.h>

#include "ztostra.h"

#define ZT_OW_MAX_COUNT 99	/* the largest start count */
#define ZT_OW_SLOTS 8		/* commands of a run in flight */
#define ZT_OW_BUFFER SZ_512K	/* the most one of them writes */
#define ZT_OW_TRIES 3		/* of a write, before the run fails */

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

/* One command of the run in flight, with its buffer. */
struct zt_ow_slot {
	struct zt_cmd c;
	struct zt_tf sent;	/* the command as sent, for another try */
	u32 sectors;
	struct page *pages;
	unsigned int order;
	struct request *rq;
	struct completion done;
	bool fixed;		/* the buffer holds the fixed pattern of value */
	u32 value;
};

/* The largest buffer up to max bytes the allocator gives at once. */
static void zt_ow_buffer(struct zt_ow_slot *s, unsigned int max)
{
	for (s->order = get_order(max); ; s->order--) {
		s->pages = alloc_pages(GFP_KERNEL | __GFP_NOWARN | __GFP_NORETRY, s->order);
		if (s->pages || !s->order)
			break;
	}
	s->c.buf = s->pages ? page_address(s->pages) : NULL;
	init_completion(&s->done);
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

static enum rq_end_io_ret zt_ow_end_io(struct request *rq, blk_status_t error)
{
	complete(rq->end_io_data);
	return RQ_END_IO_NONE;
}

/* Sends the slot's command through the gate, without waiting for it. */
static int zt_ow_send(struct zt_port *zp, struct zt_ow_slot *s)
{
	struct request_queue *q = zp->sdev->request_queue;
	struct scsi_cmnd *scmd;
	u8 cdb[16];
	int err = zt_ata_cdb(zp->disk, &s->c, cdb);

	if (err)
		return err;
	s->rq = scsi_alloc_request(q, REQ_OP_DRV_OUT, 0);
	if (IS_ERR(s->rq)) {
		err = PTR_ERR(s->rq);
		s->rq = NULL;
		return err;
	}
	err = blk_rq_map_kern(q, s->rq, s->c.buf, s->c.len, GFP_KERNEL);
	if (err) {
		blk_mq_free_request(s->rq);
		s->rq = NULL;
		return err;
	}
	scmd = blk_mq_rq_to_pdu(s->rq);
	scmd->cmd_len = sizeof(cdb);
	memcpy(scmd->cmnd, cdb, sizeof(cdb));
	scmd->allowed = 0;
	s->rq->timeout = s->c.timeout_s * HZ;
	s->rq->rq_flags |= RQF_QUIET;
	s->rq->end_io = zt_ow_end_io;
	s->rq->end_io_data = &s->done;
	reinit_completion(&s->done);
	blk_execute_rq_nowait(s->rq, false);
	return 0;
}

/*
 * Waits for the slot's command: 0, or its error once it failed ZT_OW_TRIES
 * times.  A queued write that fails is tried again unqueued, and the run's
 * writes are from then on (*command).
 */
static int zt_ow_wait(struct zt_port *zp, struct zt_ow_slot *s, u8 *command)
{
	struct scsi_cmnd *scmd;
	int tries, rc = 0;

	for (tries = 1; !rc; tries++) {
		wait_for_completion(&s->done);
		scmd = blk_mq_rq_to_pdu(s->rq);
		rc = zt_ata_answer(&s->c, scmd->result, scmd->sense_buffer, scmd->sense_len);
		blk_mq_free_request(s->rq);
		s->rq = NULL;
		if (!rc || tries == ZT_OW_TRIES)
			break;
		*command = ATA_CMD_WRITE_EXT;
		s->sent.command = *command;
		s->c.tf = s->sent;
		rc = zt_ow_send(zp, s);
	}
	return rc;
}

/* Whether the disk takes queued commands (NCQ): its writes then are. */
static bool zt_queued(struct scsi_device *sdev)
{
	struct ata_port *ap = ata_shost_to_port(sdev->host);

	return !sata_pmp_attached(ap) && sdev->id < ATA_MAX_DEVICES &&
	       ata_ncq_enabled(&ap->link.device[sdev->id]);
}

/* The next command of the run into the slot: false when none is due. */
static bool zt_ow_prepare(struct zt_port *zp, struct zt_ow_slot *s, u8 command, u64 queued,
			  u32 max)
{
	struct zt_ow_write w;
	unsigned int i;
	bool more;
	u32 value;

	spin_lock(&zp->run_lock);
	more = !zp->failed && zt_ow_next(&zp->run, zp->written + queued, U64_MAX, max, &w);
	value = w.random ? zp->pranddata : zp->fixdata;
	spin_unlock(&zp->run_lock);
	if (!more)
		return false;
	/* a fixed pattern fills every sector alike: once */
	if (w.random || !s->fixed || s->value != value) {
		for (i = 0; i < (w.random ? w.sectors : max); i++)
			zt_fill(w.random, value, w.lba + i, s->c.buf + i * SECTOR_SIZE);
		s->fixed = !w.random;
		s->value = value;
	}
	s->sectors = w.sectors;
	s->c.timeout_s = 60;
	s->c.len = w.sectors << SECTOR_SHIFT;
	s->c.tf = (struct zt_tf) {
		.command = command,
		.device = ATA_LBA,
		.lba = w.lba,
		.count = w.sectors,
	};
	s->sent = s->c.tf;
	return true;
}

/*
 * The run: up to ZT_OW_SLOTS commands in flight, each as large as the disk
 * takes (up to ZT_OW_BUFFER), queued ones where the disk takes them; the
 * progress counts those done, in order.  A failure ends it.
 */
static int zt_ow_thread(void *data)
{
	struct zt_port *zp = data;
	unsigned int max = min_t(unsigned int, ZT_OW_BUFFER,
				 queue_max_sectors(zp->sdev->request_queue) << SECTOR_SHIFT);
	u8 command = zt_queued(zp->sdev) ? ATA_CMD_FPDMA_WRITE : ATA_CMD_WRITE_EXT;
	struct zt_ow_slot *slots = kcalloc(ZT_OW_SLOTS, sizeof(*slots), GFP_KERNEL);
	unsigned int n, oldest = 0, busy = 0;
	ktime_t began = ktime_get();
	u64 queued = 0;
	int rc = 0;

	for (n = 0; slots && n < ZT_OW_SLOTS; n++) {
		zt_ow_buffer(&slots[n], max);
		if (!slots[n].pages)
			break;
		max = min_t(unsigned int, max, PAGE_SIZE << slots[n].order);
	}
	max >>= SECTOR_SHIFT;
	if (!n)
		rc = -ENOMEM;
	while (n) {
		while (!rc && busy < n && !kthread_should_stop()) {
			struct zt_ow_slot *s = &slots[(oldest + busy) % n];

			if (!zt_ow_prepare(zp, s, command, queued, max))
				break;
			rc = zt_ow_send(zp, s);
			if (!rc) {
				queued += s->sectors;
				busy++;
			}
		}
		if (!busy)
			break;
		rc = zt_ow_wait(zp, &slots[oldest], &command) ?: rc;
		spin_lock(&zp->run_lock);
		if (rc)
			zp->failed = true;
		else
			zp->written += slots[oldest].sectors;
		spin_unlock(&zp->run_lock);
		queued -= slots[oldest].sectors;
		oldest = (oldest + 1) % n;
		busy--;
	}
	if (rc)
		pr_notice("%s: the overwrite failed after %llu sectors (error %d)\n",
			  zp->disk->disk_name, zp->written, rc);
	else if (!kthread_should_stop())
		pr_info("%s: overwrite done: %llu sectors in %lld ms\n", zp->disk->disk_name,
			zp->written, ktime_ms_delta(ktime_get(), began));
	while (slots && n--)
		__free_pages(slots[n].pages, slots[n].order);
	kfree(slots);
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
