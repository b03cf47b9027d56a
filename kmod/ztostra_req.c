// SPDX-License-Identifier: GPL-2.0
/*
 * ztostra_req.c - the driver's requests (ata.h), as the program sends them
 * on a disk's block nodes: each one through the controller's checks to the
 * ATA commands, link and port actions or kept settings it stands for.  The
 * block layer's requests and anything else go on to libata.
 *
 * The SCSI layer does not say which node a request came through; the
 * caller's file descriptor does (the ioctl's first argument), and it must be
 * a block node of the same disk: the whole disk or one of its partitions.
 */
#include <linux/compat.h>
#include <linux/file.h>
#include <linux/fs.h>
#include <linux/libata.h>
#include <linux/ptrace.h>
#include <linux/sched/task_stack.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <asm/syscall.h>
#include <asm/unaligned.h>

#include "ztostra.h"

#define ZT_TIMEOUT_S 30		/* of a command that is not the security erase */
#define ZT_READ_TEST_SECTORS 16
#define ZT_ID_ERASE_TIME 89	/* identify word: the security erase's time */

/* The caller's open file of the disk's node the request came through. */
static struct file *zt_caller_file(struct scsi_device *sdev)
{
	struct pt_regs *regs = current_pt_regs();
	unsigned long args[6];
	struct file *f;

	if (current->flags & PF_KTHREAD)
		return NULL;
	if (!in_compat_syscall() && syscall_get_nr(current, regs) != __NR_ioctl)
		return NULL;
	syscall_get_arguments(current, regs, args);
	if (args[0] > INT_MAX)
		return NULL;
	f = fget(args[0]);
	if (f && (!S_ISBLK(file_inode(f)->i_mode) ||
		  I_BDEV(f->f_mapping->host)->bd_disk->queue != sdev->request_queue)) {
		fput(f);
		f = NULL;
	}
	return f;
}

static int zt_send(struct zt_req *r, struct zt_cmd *c)
{
	if (!c->timeout_s)
		c->timeout_s = ZT_TIMEOUT_S;
	return zt_ata(r->sdev, r->bdev->bd_disk, c);
}

static int zt_nondata(struct zt_req *r, u8 command)
{
	struct zt_cmd c = { .tf.command = command };

	return zt_send(r, &c);
}

static int zt_sleep(struct zt_req *r)
{
	int rc = zt_nondata(r, ATA_CMD_SLEEP);

	if (!rc) {	/* only a port reset reaches the drive now */
		mutex_lock(&r->zh->lock);
		r->zp->state = ZT_PORT_ASLEEP;
		mutex_unlock(&r->zh->lock);
	}
	return rc;
}

/* The controller has one link for all its ports: asleep, every port goes offline. */
static int zt_link(struct zt_req *r, bool sleep)
{
	unsigned int i;

	mutex_lock(&r->zh->lock);
	r->zh->link_asleep = sleep;
	for (i = 0; sleep && i < r->zh->n_ports; i++)
		r->zh->ports[i].state = ZT_PORT_OFFLINE;
	mutex_unlock(&r->zh->lock);
	return zt_lpm(r->zh, sleep);
}

/* A port reset over a sleeping link finds no drive. */
static int zt_init_port(struct zt_req *r)
{
	mutex_lock(&r->zh->lock);
	if (r->zh->link_asleep) {
		mutex_unlock(&r->zh->lock);
		return -EIO;
	}
	r->zp->state = ZT_PORT_READY;
	mutex_unlock(&r->zh->lock);
	zt_port_reset(ata_shost_to_port(r->sdev->host));
	return 0;
}

/* IDENTIFY DEVICE: 512 bytes, the words little-endian as the drive sends them. */
static int zt_identify(struct zt_req *r, u8 *raw)
{
	struct zt_cmd c = {
		.tf = { .command = ATA_CMD_ID_ATA, .count = 1 },
		.buf = raw,
		.len = ATA_SECT_SIZE,
	};

	return zt_send(r, &c);
}

static bool zt_id_text(unsigned int k)
{
	return (k >= ATA_ID_SERNO && k < ATA_ID_SERNO + ATA_ID_SERNO_LEN / 2) ||
	       (k >= ATA_ID_FW_REV && k < ATA_ID_PROD + ATA_ID_PROD_LEN / 2);
}

/* The identify words in the CPU's order, the texts as byte strings: as HDIO_GET_IDENTITY. */
static int zt_get_identdata(struct zt_req *r, u8 *id)
{
	unsigned int k;
	int rc = zt_identify(r, id);

	for (k = 0; !rc && k < ATA_ID_WORDS; k++) {
		u16 w = get_unaligned_le16(id + 2 * k);

		if (zt_id_text(k)) {
			id[2 * k] = w >> 8;
			id[2 * k + 1] = w & 0xff;
		} else {
			put_unaligned(w, (u16 *)(id + 2 * k));
		}
	}
	return rc;
}

static int zt_smart_read(struct zt_req *r, u8 feature, void *page)
{
	struct zt_cmd c = {
		.tf = {
			.command = ATA_CMD_SMART,
			.features = feature,
			.count = 1,
			.lba = ATA_SMART_LBAH_PASS << 16 | ATA_SMART_LBAM_PASS << 8,
		},
		.buf = page,
		.len = ATA_SECT_SIZE,
	};

	return zt_send(r, &c);
}

/* A command on sectors: 28-bit addressing where it reaches, else 48-bit. */
static void zt_sectors_cmd(struct zt_tf *tf, u8 cmd28, u8 cmd48, u64 lba, u16 n)
{
	tf->lba = lba;
	tf->count = n;
	tf->device = ATA_LBA;
	tf->command = lba + n > (1ULL << 28) ? cmd48 : cmd28;
}

/*
 * The read test: 16 sectors from the start sector, as far as the disk
 * reaches, into the driver's own buffer; the record's data area stays.
 */
static int zt_read_dma(struct zt_req *r, struct ztostra_read_dma_info *ri)
{
	u64 first = zt_start_sector(ri->start_sect[0], ri->start_sect[1]);
	u64 capacity = get_capacity(r->bdev->bd_disk);
	struct zt_cmd c = { };
	int rc;

	if (ri->nsect != ZT_READ_TEST_SECTORS)
		return -EINVAL;
	if (first >= capacity)
		return -EIO;
	zt_sectors_cmd(&c.tf, ATA_CMD_READ, ATA_CMD_READ_EXT, first,
		       min_t(u64, ZT_READ_TEST_SECTORS, capacity - first));
	c.len = c.tf.count * ATA_SECT_SIZE;
	c.buf = kmalloc(c.len, GFP_KERNEL);
	if (!c.buf)
		return -ENOMEM;
	rc = zt_send(r, &c);
	kfree(c.buf);
	return rc;
}

/* The start sector made uncorrectable (pseudo: it reads as a media error). */
static int zt_uncwrite(struct zt_req *r, struct ztostra_write_dma_info *wi)
{
	u64 sect = zt_start_sector(wi->start_sect[0], wi->start_sect[1]);
	struct zt_cmd c = { };

	if (sect >= get_capacity(r->bdev->bd_disk))
		return -EIO;
	zt_sectors_cmd(&c.tf, ATA_CMD_WRITE_UNCORR_EXT, ATA_CMD_WRITE_UNCORR_EXT, sect, 1);
	c.tf.features = 0x55;
	return zt_send(r, &c);
}

/* The partition behind the node; on the whole disk, the disk from sector 0 as partition 0. */
static int zt_get_part(struct zt_req *r, struct ztostra_part_info *pi)
{
	pi->start_sect = lower_32_bits(r->bdev->bd_start_sect);
	pi->nr_sects = lower_32_bits(bdev_nr_sectors(r->bdev));
	pi->partno = r->bdev->bd_partno;
	return 0;
}

/* The AES mode and key material, kept for the drive; through drops the key. */
static int zt_set_aes(struct zt_req *r, struct aeskey *key)
{
	if (key->aesmode != DSC_AESMODE_THROUGH && key->aesmode != DSC_AESMODE_ECB &&
	    key->aesmode != DSC_AESMODE_CBC)
		return -EINVAL;
	memzero_explicit(&r->zp->aes, sizeof(r->zp->aes));
	r->zp->aes_set = key->aesmode != DSC_AESMODE_THROUGH;
	if (r->zp->aes_set)
		r->zp->aes = *key;
	return 0;
}

/* One security command with the driver's user password. */
static int zt_security(struct zt_req *r, u8 command, unsigned int timeout_s, u8 *status)
{
	struct zt_cmd c = { .tf.command = command, .timeout_s = timeout_s };
	int rc;

	if (command != ATA_CMD_SEC_ERASE_PREP) {
		c.len = ATA_SECT_SIZE;
		c.buf = kmalloc(c.len, GFP_KERNEL);
		if (!c.buf)
			return -ENOMEM;
		zt_erase_password(c.buf);
		c.tf.count = 1;
	}
	rc = zt_send(r, &c);
	kfree_sensitive(c.buf);
	if (status)
		*status = c.tf.status;
	return rc;
}

/*
 * The security erase of a solid-state drive through its security feature
 * set: a user password, ERASE PREPARE, ERASE UNIT with that password (which
 * also clears it); if a step fails, DISABLE PASSWORD, so that no password
 * stays.  A partition, a rotating drive, one without the feature set, or one
 * frozen or locked gets no security command.
 */
static int zt_security_erase(struct zt_req *r)
{
	const char *refused;
	unsigned int erase_s;
	bool cleared;
	u8 status = 0;
	u8 *id;
	int rc;

	if (bdev_is_partition(r->bdev))
		return -EINVAL;
	id = kmalloc(ATA_SECT_SIZE, GFP_KERNEL);
	if (!id)
		return -ENOMEM;
	rc = zt_identify(r, id);
	if (rc)
		goto out;
	refused = zt_erase_refusal(get_unaligned_le16(id + 2 * ATA_ID_ROT_SPEED),
				   get_unaligned_le16(id + 2 * ATA_ID_DLF), &rc);
	if (refused) {
		sdev_printk(KERN_INFO, r->sdev, "security erase refused: %s\n", refused);
		rc = -rc;
		goto out;
	}
	erase_s = zt_erase_seconds(get_unaligned_le16(id + 2 * ZT_ID_ERASE_TIME));
	zt_ow_stop(r->zp, false);
	rc = zt_security(r, ATA_CMD_SEC_SET_PASS, ZT_TIMEOUT_S, &status);
	cleared = rc && (status & ATA_ERR);	/* refused: never set */
	if (!rc) {
		rc = zt_security(r, ATA_CMD_SEC_ERASE_PREP, ZT_TIMEOUT_S, NULL);
		if (!rc)
			rc = zt_security(r, ATA_CMD_SEC_ERASE_UNIT, erase_s, NULL);
		cleared = !rc;
	}
	if (!cleared && zt_security(r, ATA_CMD_SEC_DISABLE_PASS, ZT_TIMEOUT_S, NULL))
		sdev_printk(KERN_ERR, r->sdev,
			    "security erase failed, and so did DISABLE PASSWORD: a user password may be set\n");
	if (!rc) {	/* what the overwrite function did is gone with the media */
		spin_lock(&r->zp->run_lock);
		r->zp->started = false;
		spin_unlock(&r->zp->run_lock);
	}
out:
	kfree(id);
	return rc;
}

static int zt_handle(struct zt_req *r, unsigned int cmd, void *rec)
{
	switch (cmd) {
	case ZTOSTRA_HDD_STANDBY_IMD:
		return zt_nondata(r, ATA_CMD_STANDBYNOW1);
	case ZTOSTRA_HDD_SLEEP:
		return zt_sleep(r);
	case ZTOSTRA_HDD_FLUSH_CACHE:
		return zt_nondata(r, ATA_CMD_FLUSH);
	case ZTOSTRA_SLEEP_IN:
		return zt_link(r, true);
	case ZTOSTRA_SLEEP_OUT:
		return zt_link(r, false);
	case ZTOSTRA_INIT_PORT:
		return zt_init_port(r);
	case ZTOSTRA_GET_OWCOUNT:
		return zt_get_owcount(r, rec);
	case ZTOSTRA_ISUEE_OWFUNC:
		return zt_issue_owfunc(r, rec);
	case ZTOSTRA_OW_OP:
		return zt_ow_op(r, rec);
	case ZTOSTRA_SET_TOTAL:
		return zt_set_total(r, rec);
	case ZTOSTRA_CLEAR_TOTAL:
		return zt_clear_total(r, rec);
	case ZTOSTRA_SET_AES:
		return zt_set_aes(r, rec);
	case ZTOSTRA_GET_SMARTATTR:
		return zt_smart_read(r, ATA_SMART_READ_VALUES, rec);
	case ZTOSTRA_GET_SMARTTHRS:
		return zt_smart_read(r, ATA_SMART_READ_THRESHOLDS, rec);
	case ZTOSTRA_GET_IDENTDATA:
		return zt_get_identdata(r, rec);
	case ZTOSTRA_HDD_DEF_ROTATIONAL:
		*(u32 *)rec = !blk_queue_nonrot(r->sdev->request_queue);
		return 0;
	case ZTOSTRA_SSD_SECURITY_ERASE:
		return zt_security_erase(r);
	case ZTOSTRA_TEST_READ_DMA:
		return zt_read_dma(r, rec);
	case ZTOSTRA_GET_PART:
		return zt_get_part(r, rec);
	case ZTOSTRA_TEST_UNCWRITE:
		return zt_uncwrite(r, rec);
	case ZTOSTRA_TEST_REG_READ:
	case ZTOSTRA_TEST_REG_WRITE:
	case ZTOSTRA_TEST_24v_DOWN_INTR:
		return 0;	/* the controller's own tests: nothing to report */
	}
	return -ENOTTY;
}

/* The controller's checks, then the handler; under the port's lock. */
static int zt_carry_out(struct zt_req *r, const struct zt_request *row, unsigned int cmd,
			void *rec)
{
	bool gone, asleep;

	mutex_lock(&r->zh->lock);
	gone = r->zh->gone;
	asleep = r->zh->link_asleep || r->zp->state != ZT_PORT_READY;
	mutex_unlock(&r->zh->lock);
	if (gone)
		return -ENODEV;
	if (!(row->touches & ZT_CONTROLLER)) {
		if (asleep)
			return -EIO;
		if (row->touches & ZT_WRITES) {
			if (!READ_ONCE(zt_destructive)) {
				pr_notice_ratelimited("%s: %s refused: the module parameter destructive is off\n",
						      r->bdev->bd_disk->disk_name, row->name);
				return -EPERM;
			}
			if (!r->writable)
				return -EBADF;
		}
	}
	return zt_handle(r, cmd, rec);
}

int zt_ioctl(struct scsi_device *sdev, unsigned int cmd, void __user *arg)
{
	const struct zt_request *row = zt_request_find(cmd);
	struct ata_port *ap = ata_shost_to_port(sdev->host);
	struct zt_host *zh = container_of(ap->host->private_data, struct zt_host, hpriv);
	struct zt_req r = { .zh = zh, .zp = &zh->ports[ap->port_no], .sdev = sdev };
	struct file *file;
	void *rec = NULL;
	int rc = 0;

	if (!row || (row->touches & ZT_BLOCK))
		return ata_scsi_ioctl(sdev, cmd, arg);
	if (!capable(CAP_SYS_RAWIO))
		return -EACCES;
	file = zt_caller_file(sdev);
	if (!file)
		return -ENOTTY;
	r.bdev = I_BDEV(file->f_mapping->host);
	r.writable = file->f_mode & FMODE_WRITE;
	if (row->size) {
		rec = memdup_user(arg, row->size);
		if (IS_ERR(rec)) {
			fput(file);
			return PTR_ERR(rec);
		}
	}
	kref_get(&zh->ref);
	if (mutex_lock_killable(&r.zp->lock)) {
		rc = -EINTR;
	} else {
		rc = zt_carry_out(&r, row, cmd, rec);
		mutex_unlock(&r.zp->lock);
	}
	zt_host_put(zh);
	if (!rc && row->size && copy_to_user(arg, rec, row->size))
		rc = -EFAULT;
	kfree_sensitive(rec);
	fput(file);
	return rc;
}
