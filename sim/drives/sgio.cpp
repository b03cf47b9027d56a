// sgio.cpp - a real ATA device as a drive (board key drives.X.host, a SCSI
// generic or block node): each command goes by SG_IO as ATA PASS-THROUGH (16)
// through the kernel's SCSI/ATA translation, and the registers come back in
// the sense data.  The port's reset and the link's power go to the SCSI host
// of the controller port the device hangs on.  Only the node the board names
// is ever opened.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "drive.h"

namespace sim {

namespace {

// The sysfs directory of the SCSI device behind dev, a SCSI generic or a
// block node; "" for anything else.
std::string sysfs_device(const std::string &dev)
{
	struct stat st {};
	if (::stat(dev.c_str(), &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
		return "";
	char path[64];
	std::snprintf(path, sizeof path, "/sys/dev/%s/%u:%u/device",
		      S_ISCHR(st.st_mode) ? "char" : "block", major(st.st_rdev), minor(st.st_rdev));
	char real[PATH_MAX];
	return ::realpath(path, real) != nullptr ? real : "";
}

class SgioDrive final : public Drive {
      public:
	explicit SgioDrive(std::string dev) : dev_(std::move(dev))
	{
	}
	int answer(Ata &a) override;
	// the link power policy, its lowest for the link's sleep; a scan of the
	// device's own channel, target and LUN, which the SATA layer carries
	// out as a reset of the port and a new probe of its device
	int reset(std::string &note) override
	{
		return scsi_host_write("scan", nullptr, note);
	}
	int link(bool sleep, std::string &note) override
	{
		return scsi_host_write("link_power_management_policy",
				       sleep ? "min_power" : "max_performance", note);
	}
	std::uint64_t max_sectors() override
	{
		std::error_code ec;
		for (const auto &disk :
		     std::filesystem::directory_iterator(sysfs_device(dev_) + "/block", ec)) {
			const std::string kb =
				read_text(disk.path().string() + "/queue/max_sectors_kb", false);
			if (std::strtoull(kb.c_str(), nullptr, 10) >= 1)
				return 2 * std::strtoull(kb.c_str(), nullptr, 10);
		}
		return Drive::max_sectors();
	}

      private:
	std::string dev_;
	int scsi_host_write(const char *file, const char *policy, std::string &note);
};

// /sys/class/scsi_host/hostN/FILE of the device's host.  A device the kernel
// shows no SCSI host for (a stand-in of the tests) has no port to act on.
int SgioDrive::scsi_host_write(const char *file, const char *policy, std::string &note)
{
	const std::string dev = sysfs_device(dev_);
	const std::size_t h = dev.find("/host"), l = dev.rfind('/');
	unsigned host = 0, channel = 0, target = 0, lun = 0;
	if (h == std::string::npos || l == std::string::npos ||
	    std::sscanf(dev.c_str() + l + 1, "%u:%u:%u:%u", &host, &channel, &target, &lun) != 4) {
		note = "no SCSI host for " + dev_ + ": nothing to do";
		return 0;
	}
	char path[96], value[48];
	std::snprintf(path, sizeof path, "/sys/class/scsi_host/host%u/%s", host, file);
	if (policy != nullptr)
		std::snprintf(value, sizeof value, "%s", policy);
	else
		std::snprintf(value, sizeof value, "%u %u %u", channel, target, lun);
	int err = 0;
	const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0 || ::write(fd, value, std::strlen(value)) < 0)
		err = errno;
	if (fd >= 0)
		::close(fd);
	note = std::string(path) + " <- " + value +
	       (err != 0 ? ": " + std::string(std::strerror(err)) : "");
	return err;
}

int SgioDrive::answer(Ata &a)
{
	const unsigned flags = ata_flags(a.command);
	const bool out = (flags & ZT_ATA_OUT) != 0;
	std::vector<unsigned char> buf;
	unsigned char *data = a.data;
	std::size_t len = a.len;
	if (data == nullptr && (a.pattern || ((flags & ZT_ATA_DMA) != 0 && !out))) {
		// generated data, or a read into the driver's own buffer
		buf.resize(a.sectors() * 512);
		for (std::size_t i = 0; a.pattern && i < a.sectors(); i++)
			fill(*a.pattern, a.lba + i, buf.data() + i * 512);
		data = buf.data();
		len = buf.size();
	}
	zt_tf tf{a.command, a.features, a.device, a.count, a.lba, 0, 0};
	unsigned char cdb[16];
	if (!zt_cdb(&tf, len != 0, cdb)) {
		a.note = "its registers do not reach the lba";
		return EINVAL;
	}
	unsigned char sense[32] = {};
	sg_io_hdr_t io{};
	io.interface_id = 'S';
	io.cmd_len = sizeof cdb;
	io.cmdp = cdb;
	io.mx_sb_len = sizeof sense;
	io.sbp = sense;
	io.dxfer_direction = len == 0 ? SG_DXFER_NONE : out ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
	io.dxferp = data;
	io.dxfer_len = static_cast<unsigned>(len);
	io.timeout = a.timeout_s * 1000U;
	const int fd = ::open(dev_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		const int err = errno;
		a.note = "cannot open " + dev_ + ": " + std::strerror(err);
		return err;
	}
	int err = ::ioctl(fd, SG_IO, &io) != 0 ? errno : 0;
	::close(fd);
	if (err != 0)
		return err;
	const std::size_t sensed = std::min<std::size_t>(io.sb_len_wr, sizeof sense);
	std::uint8_t key = 0;
	if (zt_sense(sense, sensed, &tf, &key)) {
		a.status = tf.status;
		a.error = tf.error;
		a.count = tf.count;
		a.lba = tf.lba;
	} else if (io.status == 0 && io.host_status == 0 && io.driver_status == 0) {
		a.status = ata::STATUS_OK;
	} else {
		err = EIO;
		char why[48];
		std::snprintf(why, sizeof why, "SCSI status %02x, sense key %x", io.status, key);
		a.note = why;
	}
	// a CHECK CONDITION that is not the registers' report is a failure
	if ((a.status & ata::STATUS_ERR) != 0 || io.host_status != 0 ||
	    (io.status != 0 && key != 0 && key != 1))
		err = EIO;
	if (err != 0 && sensed > 0) // the sense data, for whoever reads the trace
		a.note += (a.note.empty() ? "sense " : "; sense ") + hex(sense, sensed);
	return err;
}

} // namespace

std::unique_ptr<Drive> sgio_drive(const std::string &dev)
{
	return std::make_unique<SgioDrive>(dev);
}

bool kernel_device(const std::string &dev)
{
	return !sysfs_device(dev).empty();
}

std::optional<Partition> host_partition(const std::string &dev, int number)
{
	const std::string sys = sysfs_device(dev) + "/block";
	std::error_code ec;
	for (const auto &disk : std::filesystem::directory_iterator(sys, ec)) {
		const std::string name = disk.path().filename().string();
		const auto value = [&](const char *what) {
			return std::strtoull(read_text(disk.path().string() + "/" + name +
							       std::to_string(number) + "/" + what,
						       false)
						     .c_str(),
					     nullptr, 10);
		};
		const Partition p{value("start"), value("size")};
		if (p.sectors != 0)
			return p;
	}
	return std::nullopt;
}

} // namespace sim
