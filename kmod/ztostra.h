/* SPDX-License-Identifier: GPL-2.0 */
/*
 * ztostra.h - the ztostra SATA host driver's own declarations: what it keeps
 * per controller and per port, and how its parts call one another.
 */
#ifndef ZTOSTRA_H
#define ZTOSTRA_H

#include <linux/blkdev.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/kref.h>
#include <scsi/scsi_device.h>

#include "ahci.h"
#include "ata.h"
#include "ztostra_core.h"

#define DRV_NAME "ztostra"

/* What the driver keeps of a port, besides its drive's link. */
enum zt_port_state {
	ZT_PORT_READY,
	ZT_PORT_OFFLINE,	/* the controller's link sleeps */
	ZT_PORT_ASLEEP,		/* the drive sleeps: only a port reset wakes it */
};

struct zt_port {
	struct mutex lock;	/* one request at a time; the fields below */
	enum zt_port_state state;
	bool aes_set;
	struct aeskey aes;
	s32 owmode;
	u16 owsw;
	u16 fixdata;
	u32 pranddata;
	u64 total;
	spinlock_t run_lock;	/* the run and the settings, shared with its thread */
	bool started;
	bool failed;
	struct zt_ow_run run;
	u64 written;
	struct task_struct *thread;	/* the run's, until stopped */
	struct gendisk *disk;	/* the disk the thread writes */
	struct scsi_device *sdev;
};

/* One controller: libahci's part first, then the driver's. */
struct zt_host {
	struct ahci_host_priv hpriv;
	struct kref ref;
	struct mutex lock;	/* link_asleep, gone */
	bool link_asleep;
	bool gone;
	struct ata_host *host;
	unsigned int n_ports;
	struct zt_port ports[];
};

/* One request on one node. */
struct zt_req {
	struct zt_host *zh;
	struct zt_port *zp;
	struct scsi_device *sdev;
	struct block_device *bdev;	/* the node the caller used */
	bool writable;			/* opened for writing */
};

extern bool zt_destructive;

/* ztostra_host.c */
struct zt_cmd {
	struct zt_tf tf;	/* registers sent, then those answered */
	void *buf;
	unsigned int len;
	unsigned int timeout_s;
};

int zt_ata(struct scsi_device *sdev, struct gendisk *disk, struct zt_cmd *c);
int zt_ata_cdb(struct gendisk *disk, struct zt_cmd *c, u8 *cdb);
int zt_ata_answer(struct zt_cmd *c, int result, const u8 *sense, unsigned int len);
int zt_lpm(struct zt_host *zh, bool sleep);
bool zt_part5(struct gendisk *disk, u64 *start, u64 *sectors);
void zt_port_reset(struct ata_port *ap);
void zt_host_put(struct zt_host *zh);

/* ztostra_req.c */
int zt_ioctl(struct scsi_device *sdev, unsigned int cmd, void __user *arg);

/* ztostra_ow.c */
int zt_get_owcount(struct zt_req *r, void *arg);
int zt_issue_owfunc(struct zt_req *r, void *arg);
int zt_ow_op(struct zt_req *r, void *arg);
int zt_set_total(struct zt_req *r, void *arg);
int zt_clear_total(struct zt_req *r, void *arg);
void zt_ow_stop(struct zt_port *zp, bool lost);

#endif /* ZTOSTRA_H */
