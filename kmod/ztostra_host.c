// SPDX-License-Identifier: GPL-2.0
/*
 * ztostra_host.c - the ztostra SATA host driver: AHCI controllers, found by
 * their PCI class, driven by libahci; every ATA command the driver sends
 * itself, through the one write gate; the link's power and the port's reset
 * through libata's error handling.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/pci.h>
#include <linux/libata.h>
#include <scsi/scsi_cmnd.h>
#include <scsi/scsi_eh.h>
#include <scsi/scsi_host.h>

#include "ztostra.h"

bool zt_destructive;
module_param_named(destructive, zt_destructive, bool, 0644);
MODULE_PARM_DESC(destructive,
		 "allow commands that write the media or change a drive's security state (default: no)");

#define ZT_BAR 5	/* AHCI's registers */

/* Partition 5 of the disk as its partition table says now. */
bool zt_part5(struct gendisk *disk, u64 *start, u64 *sectors)
{
	struct block_device *part;

	rcu_read_lock();
	part = xa_load(&disk->part_tbl, 5);
	if (part) {
		*start = part->bd_start_sect;
		*sectors = bdev_nr_sectors(part);
	}
	rcu_read_unlock();
	return part;
}

/*
 * The one gate of every command that writes the media or changes a drive's
 * security state: the driver must have been allowed to write, and every
 * sector written must lie inside partition 5 of the disk as its partition
 * table says now (the security erase, of the whole disk, the one exception).
 */
static int zt_allowed(struct gendisk *disk, const struct zt_tf *tf)
{
	const char *what = zt_ata_find(tf->command)->name;
	const char *name = disk ? disk->disk_name : DRV_NAME;
	u64 start, sectors;

	if (!READ_ONCE(zt_destructive)) {
		pr_notice_ratelimited("%s: %s refused: the module parameter destructive is off\n",
				      name, what);
		return -EPERM;
	}
	if (!zt_bounded(tf->command))
		return 0;
	if (!disk || !zt_part5(disk, &start, &sectors)) {
		pr_notice_ratelimited("%s: %s refused: no partition 5\n", name, what);
		return -EPERM;
	}
	if (zt_command_allowed(tf->command, tf->lba, tf->count, start, sectors))
		return 0;
	pr_notice_ratelimited("%s: %s of sectors %llu-%llu refused: outside partition 5 (%llu-%llu)\n",
			      name, what, tf->lba, tf->lba + zt_sectors(tf->command, tf->count) - 1,
			      start, start + sectors - 1);
	return -EPERM;
}

/* The ATA PASS-THROUGH (16) CDB of a command the gate lets through. */
int zt_ata_cdb(struct gendisk *disk, struct zt_cmd *c, u8 *cdb)
{
	int err;

	if (zt_ata_find(c->tf.command)->flags & (ZT_ATA_WRITES | ZT_ATA_SECURITY)) {
		err = zt_allowed(disk, &c->tf);
		if (err)
			return err;
	}
	return zt_cdb(&c->tf, c->len, cdb) ? 0 : -EINVAL;
}

/*
 * The registers the drive left, from the command's result and sense data:
 * 0, or -EIO for an error the drive reported in its registers or any other.
 */
int zt_ata_answer(struct zt_cmd *c, int result, const u8 *sense, unsigned int len)
{
	int status = result & 0xff;
	u8 key;

	/* a command that asked for no registers and ended well left none */
	if (!zt_sense(sense, len, &c->tf, &key)) {
		if (result)
			return -EIO;
		c->tf.status = ATA_DRDY | ATA_DSC;
	}
	/* a CHECK CONDITION that is not the registers' report is a failure */
	if ((c->tf.status & ATA_ERR) || host_byte(result) ||
	    (status && key != NO_SENSE && key != RECOVERED_ERROR))
		return -EIO;
	return 0;
}

static int zt_ata_dir(const struct zt_cmd *c)
{
	if (!c->len)
		return DMA_NONE;
	return zt_ata_find(c->tf.command)->flags & ZT_ATA_OUT ? DMA_TO_DEVICE : DMA_FROM_DEVICE;
}

/*
 * Sends one ATA command by ATA PASS-THROUGH (16) and waits for it: 0 with
 * the registers the drive left in c->tf, or a negative errno.  disk:
 * partition 5's disk, for the gate.
 */
int zt_ata(struct scsi_device *sdev, struct gendisk *disk, struct zt_cmd *c)
{
	u8 cdb[16], sense[SCSI_SENSE_BUFFERSIZE] = { 0 };
	struct scsi_sense_hdr sshdr;
	int result = zt_ata_cdb(disk, c, cdb);

	if (result)
		return result;
	result = __scsi_execute(sdev, cdb, zt_ata_dir(c), c->buf, c->len, sense, &sshdr,
				c->timeout_s * HZ, 0, 0, 0, NULL);
	if (result < 0)
		return result;
	return zt_ata_answer(c, result, sense, scsi_sense_valid(&sshdr) ? sizeof(sense) : 0);
}

/*
 * The link power policy of every port of the controller, lowest for the
 * link's sleep: what writing link_power_management_policy does, waited for.
 */
int zt_lpm(struct zt_host *zh, bool sleep)
{
	unsigned long flags;
	unsigned int i;

	for (i = 0; i < zh->host->n_ports; i++) {
		struct ata_port *ap = zh->host->ports[i];
		struct ata_device *dev;
		bool nolpm = ap->flags & ATA_FLAG_NO_LPM;

		if (ap->ops == &ata_dummy_port_ops)
			continue;
		spin_lock_irqsave(ap->lock, flags);
		ata_for_each_dev(dev, &ap->link, ENABLED)
			nolpm |= dev->horkage & ATA_HORKAGE_NOLPM;
		if (!nolpm) {
			ap->target_lpm_policy = sleep ? ATA_LPM_MIN_POWER : ATA_LPM_MAX_POWER;
			ata_port_schedule_eh(ap);
		}
		spin_unlock_irqrestore(ap->lock, flags);
		if (!nolpm)
			ata_port_wait_eh(ap);
	}
	return 0;
}

/* A reset of the port and a new look at its device, as a SCSI scan of it does. */
void zt_port_reset(struct ata_port *ap)
{
	struct ata_link *link;
	unsigned long flags;

	spin_lock_irqsave(ap->lock, flags);
	ata_for_each_link(link, ap, EDGE) {
		link->eh_info.probe_mask |= ATA_ALL_DEVICES;
		link->eh_info.action |= ATA_EH_RESET;
	}
	ata_port_schedule_eh(ap);
	spin_unlock_irqrestore(ap->lock, flags);
	ata_port_wait_eh(ap);
}

static void zt_host_free(struct kref *ref)
{
	struct zt_host *zh = container_of(ref, struct zt_host, ref);
	unsigned int i;

	for (i = 0; i < zh->n_ports; i++)
		memzero_explicit(&zh->ports[i].aes, sizeof(zh->ports[i].aes));
	kfree(zh);
}

void zt_host_put(struct zt_host *zh)
{
	kref_put(&zh->ref, zt_host_free);
}

static void zt_host_release(void *data)
{
	zt_host_put(data);
}

static struct scsi_host_template zt_sht = {
	AHCI_SHT(DRV_NAME),
	.ioctl = zt_ioctl,
#ifdef CONFIG_COMPAT
	.compat_ioctl = zt_ioctl,
#endif
};

static int zt_probe(struct pci_dev *pdev, const struct pci_device_id *id)
{
	struct ata_port_info pi = {
		.flags = AHCI_FLAG_COMMON,
		.pio_mask = ATA_PIO4,
		.udma_mask = ATA_UDMA6,
		.port_ops = &ahci_ops,
	};
	const struct ata_port_info *ppi[] = { &pi, NULL };
	struct ahci_host_priv *hpriv;
	struct ata_host *host;
	struct zt_host *zh;
	unsigned int i, n_ports;
	int rc;

	rc = pcim_enable_device(pdev);
	if (rc)
		return rc;
	rc = pcim_iomap_regions_request_all(pdev, 1 << ZT_BAR, DRV_NAME);
	if (rc == -EBUSY)
		pcim_pin_device(pdev);
	if (rc)
		return rc;

	n_ports = AHCI_MAX_PORTS;
	zh = kzalloc(struct_size(zh, ports, n_ports), GFP_KERNEL);
	if (!zh)
		return -ENOMEM;
	kref_init(&zh->ref);
	mutex_init(&zh->lock);
	zh->n_ports = n_ports;
	for (i = 0; i < n_ports; i++) {
		mutex_init(&zh->ports[i].lock);
		spin_lock_init(&zh->ports[i].run_lock);
	}
	rc = devm_add_action_or_reset(&pdev->dev, zt_host_release, zh);
	if (rc)
		return rc;

	hpriv = &zh->hpriv;
	hpriv->mmio = pcim_iomap_table(pdev)[ZT_BAR];
	ahci_save_initial_config(&pdev->dev, hpriv);
	if (hpriv->cap & HOST_CAP_NCQ)
		pi.flags |= ATA_FLAG_NCQ | ATA_FLAG_FPDMA_AA | ATA_FLAG_FPDMA_AUX;
	if (hpriv->cap & HOST_CAP_PMP)
		pi.flags |= ATA_FLAG_PMP;
	ahci_set_em_messages(hpriv, &pi);

	n_ports = max(ahci_nr_ports(hpriv->cap), fls(hpriv->port_map));
	host = ata_host_alloc_pinfo(&pdev->dev, ppi, n_ports);
	if (!host)
		return -ENOMEM;
	host->private_data = hpriv;
	zh->host = host;

	rc = pci_alloc_irq_vectors(pdev, 1, 1, PCI_IRQ_ALL_TYPES);
	if (rc < 0)
		return rc;
	/* no parallel scan: ports probed in order, their disks named in order */
	hpriv->irq = pci_irq_vector(pdev, 0);
	if (pi.flags & ATA_FLAG_EM)
		ahci_reset_em(host);
	for (i = 0; i < host->n_ports; i++) {
		struct ata_port *ap = host->ports[i];

		ata_port_pbar_desc(ap, ZT_BAR, -1, "abar");
		ata_port_pbar_desc(ap, ZT_BAR, 0x100 + ap->port_no * 0x80, "port");
		if (ap->flags & ATA_FLAG_EM)
			ap->em_message_type = hpriv->em_msg_type;
		if (!(hpriv->port_map & (1 << i)))
			ap->ops = &ata_dummy_port_ops;
	}

	rc = dma_set_mask_and_coherent(&pdev->dev,
				       DMA_BIT_MASK(hpriv->cap & HOST_CAP_64 ? 64 : 32));
	if (rc)
		return rc;
	rc = ahci_reset_controller(host);
	if (rc)
		return rc;
	ahci_init_controller(host);
	ahci_print_info(host, "SATA");
	pci_set_master(pdev);
	return ahci_host_activate(host, &zt_sht);
}

/*
 * No request starts any more, and every overwrite stops, before the ports
 * go; requests still running end with errors.
 */
static void zt_stop(struct pci_dev *pdev)
{
	struct ata_host *host = pci_get_drvdata(pdev);
	struct zt_host *zh = container_of(host->private_data, struct zt_host, hpriv);
	unsigned int i;

	mutex_lock(&zh->lock);
	zh->gone = true;
	mutex_unlock(&zh->lock);
	for (i = 0; i < zh->n_ports; i++) {
		mutex_lock(&zh->ports[i].lock);
		zt_ow_stop(&zh->ports[i], true);
		mutex_unlock(&zh->ports[i].lock);
	}
}

static void zt_remove(struct pci_dev *pdev)
{
	zt_stop(pdev);
	ata_pci_remove_one(pdev);
}

static void zt_shutdown(struct pci_dev *pdev)
{
	zt_stop(pdev);
	ata_pci_shutdown_one(pdev);
}

static const struct pci_device_id zt_pci_tbl[] = {
	{ PCI_DEVICE_CLASS(PCI_CLASS_STORAGE_SATA_AHCI, 0xffffff) },
	{ }
};

static struct pci_driver zt_pci_driver = {
	.name = DRV_NAME,
	.id_table = zt_pci_tbl,
	.probe = zt_probe,
	.remove = zt_remove,
	.shutdown = zt_shutdown,
};
module_pci_driver(zt_pci_driver);

MODULE_DESCRIPTION("ztostra SATA host controller driver (AHCI)");
MODULE_LICENSE("GPL");
