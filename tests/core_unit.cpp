// core_unit.cpp - the driver core (kmod/ztostra_core.c) against models
// written apart from it (a loop over sectors, 128-bit sums) and byte vectors
// written by hand.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ata.h"
#include "ztostra_core.h"

namespace {

using u64 = std::uint64_t;
constexpr u64 MAX = UINT64_MAX, L28 = 1ULL << 28U, L48 = 1ULL << 48U;

// 128-bit numbers of two halves (the board's compiler has no wider type)
struct Wide {
	u64 hi = 0, lo = 0;
	Wide operator+(Wide o) const
	{
		const u64 l = lo + o.lo;
		return {hi + o.hi + (l < lo ? 1 : 0), l};
	}
	bool operator<=(Wide o) const
	{
		return hi != o.hi ? hi < o.hi : lo <= o.lo;
	}
};
Wide wide(u64 v)
{
	return {0, v};
}
Wide times(u64 v, u64 small) // small < 2^32
{
	const u64 high = (v >> 32U) * small;
	return Wide{high >> 32U, high << 32U} + wide((v & 0xFFFFFFFFU) * small);
}

// every sector of the range inside partition 5, one at a time (small numbers)
bool each_inside(u64 start, u64 sectors, u64 first, u64 count)
{
	bool inside = count != 0;
	for (u64 s = first; s < first + count; s++)
		inside = inside && s >= start && s < start + sectors;
	return inside;
}

// the same of any numbers, in sums that cannot wrap
bool range_inside(u64 start, u64 sectors, u64 first, u64 count)
{
	return count != 0 && first >= start &&
	       wide(first) + wide(count) <= wide(start) + wide(sectors);
}

TEST(Gate, EverySmallPartitionAndRange)
{
	for (u64 start = 0; start <= 3; start++)
		for (u64 sectors = 0; sectors <= 5; sectors++)
			for (u64 first = 0; first <= 12; first++)
				for (u64 count = 0; count <= 12; count++)
					ASSERT_EQ(zt_gate(start, sectors, first, count),
						  each_inside(start, sectors, first, count))
						<< start << "+" << sectors << ": " << first << "+"
						<< count;
}

TEST(Gate, AroundBothEndsOfLargePartitions)
{
	const u64 v[] = {0,       1,   2,       L28 - 1,     L28,     L28 + 1,
			 L48 - 1, L48, L48 + 1, 1ULL << 63U, MAX - 1, MAX};
	for (const u64 start : v)
		for (const u64 sectors : v) {
			const u64 end = start + sectors; // (wraps: then just another value)
			std::vector<u64> firsts(std::begin(v), std::end(v));
			firsts.insert(firsts.end(),
				      {start - 1, start, start + 1, end - 1, end, end + 1});
			for (const u64 first : firsts)
				for (const u64 count : {u64{0}, u64{1}, u64{2}, u64{65536},
							sectors - 1, sectors, sectors + 1, MAX})
					ASSERT_EQ(zt_gate(start, sectors, first, count),
						  range_inside(start, sectors, first, count))
						<< start << "+" << sectors << ": " << first << "+"
						<< count;
		}
}

TEST(Gate, Commands)
{
	struct {
		unsigned char command;
		u64 lba;
		std::uint16_t count;
		u64 start, sectors;
		bool allowed;
	} const rows[] = {
		// count 0: 65536 sectors for a 48-bit command, 256 for a 28-bit one
		{ZT_CMD_WRITE_DMA_EXT, 1000, 0, 1000, 65536, true},
		{ZT_CMD_WRITE_DMA_EXT, 1000, 0, 1000, 65535, false},
		{ZT_CMD_WRITE_DMA, 1000, 0, 1000, 256, true},
		{ZT_CMD_WRITE_DMA, 1000, 0, 1000, 255, false},
		// as far as the registers reach
		{ZT_CMD_WRITE_DMA, L28 - 1, 1, 0, MAX, true},
		{ZT_CMD_WRITE_DMA, L28 - 1, 2, 0, MAX, false},
		{ZT_CMD_WRITE_DMA, L28 + 5, 1, L28, 10, false},
		{ZT_CMD_WRITE_DMA_EXT, L48 - 1, 1, 0, MAX, true},
		{ZT_CMD_WRITE_DMA_EXT, L48 - 1, 2, 0, MAX, false},
		{ZT_CMD_WRITE_DMA_EXT, L48 + 5, 1, L48, 10, false},
		{ZT_CMD_WRITE_DMA_EXT, MAX, 1, MAX - 5, 10, false},
		// partition 5 at 1000-1999
		{ZT_CMD_WRITE_UNC_EXT, 999, 1, 1000, 1000, false},
		{ZT_CMD_WRITE_UNC_EXT, 1000, 1, 1000, 1000, true},
		{ZT_CMD_WRITE_UNC_EXT, 1999, 1, 1000, 1000, true},
		{ZT_CMD_WRITE_UNC_EXT, 2000, 1, 1000, 1000, false},
		{ZT_CMD_WRITE_UNC_EXT, 2001, 1, 1000, 1000, false},
		{ZT_CMD_WRITE_UNC_EXT, 1000000, 1, 1000, 1000, false},
		{ZT_CMD_WRITE_UNC_EXT, MAX, 1, 1000, 1000, false},
		{ZT_CMD_WRITE_UNC_EXT, 1000, 1, 1000, 0, false},
		// the erase is the whole disk's; what writes no medium is not held
		{ZT_CMD_SECURITY_ERASE_UNIT, 0, 1, 1000, 1000, true},
		{ZT_CMD_SECURITY_SET_PASSWORD, 0, 1, 0, 0, true},
		{ZT_CMD_READ_DMA_EXT, MAX, 0, 0, 0, true},
		// a command the table does not know writes nowhere
		{0x30, 1000, 1, 1000, 1000, false},
		{0x00, 1000, 1, 1000, 1000, false},
	};
	for (const auto &r : rows)
		EXPECT_EQ(zt_command_allowed(r.command, r.lba, r.count, r.start, r.sectors),
			  r.allowed)
			<< std::hex << int{r.command} << " lba " << r.lba << " count " << r.count;
	const unsigned unknown = zt_ata_find(0x30)->flags;
	EXPECT_EQ(unknown & (ZT_ATA_WRITES | ZT_ATA_SECURITY), ZT_ATA_WRITES | ZT_ATA_SECURITY);
}

TEST(Gate, CountRegister)
{
	EXPECT_EQ(zt_sectors(ZT_CMD_WRITE_DMA_EXT, 0), 65536U);
	EXPECT_EQ(zt_sectors(ZT_CMD_WRITE_UNC_EXT, 0), 65536U);
	EXPECT_EQ(zt_sectors(ZT_CMD_WRITE_DMA, 0), 256U);
	EXPECT_EQ(zt_sectors(0x30, 0), 256U);
	EXPECT_EQ(zt_sectors(ZT_CMD_READ_DMA_EXT, 0xFFFF), 65535U);
}

// the test records' start sector: word 0 from bit 24 up, word 1 added; then
// through the gate of partitions low, high and beyond 48 bits
TEST(Gate, StartSectorRecords)
{
	const u64 w0s[] = {0, 1, 0xFF, 0x100, 0xFFFFFF, 0x1000000, 0xFFFFFFFF};
	const u64 w1s[] = {0, 0x3E8, 0x7D1, 0xFFFFFFFF};
	EXPECT_EQ(zt_start_sector(0xFFFFFFFF, 0xFFFFFFFF), 0x1000000FEFFFFFFULL);
	EXPECT_EQ(zt_start_sector(1, 0), 0x1000000ULL);
	const u64 parts[][2] = {{1000, 1000}, {1ULL << 32U, 1000}, {0xFFFFFFFF000000, 1ULL << 33U}};
	for (const u64 w0 : w0s)
		for (const u64 w1 : w1s) {
			const u64 first = w0 * 0x1000000 + w1;
			ASSERT_EQ(zt_start_sector(static_cast<std::uint32_t>(w0),
						  static_cast<std::uint32_t>(w1)),
				  first);
			for (const auto &p : parts)
				ASSERT_EQ(zt_command_allowed(ZT_CMD_WRITE_UNC_EXT, first, 1, p[0],
							     p[1]),
					  range_inside(p[0], p[1], first, 1) && first < L48)
					<< std::hex << w0 << " " << w1;
		}
}

TEST(Erase, Refusal)
{
	struct {
		std::uint16_t rotation, security;
		const char *why;
		int err;
	} const rows[] = {
		{0, 0x01, "a rotating drive", EOPNOTSUPP},
		{7200, 0x01, "a rotating drive", EOPNOTSUPP},
		{1, 0x00, "no security feature set", EOPNOTSUPP},
		{1, 0x05, "security locked or frozen", EACCES},
		{1, 0x09, "security locked or frozen", EACCES},
		{1, 0x01, nullptr, 0},
		{1, 0x03, nullptr, 0},
	};
	for (const auto &r : rows) {
		int err = -1;
		const char *why = zt_erase_refusal(r.rotation, r.security, &err);
		EXPECT_EQ(std::string(why != nullptr ? why : "-"),
			  std::string(r.why != nullptr ? r.why : "-"));
		EXPECT_EQ(err, r.err) << r.rotation << " " << r.security;
	}
	// ERASE UNIT's time from word 89, in 2 minutes (0: not given), 2 to spare
	EXPECT_EQ(std::vector<u64>({zt_erase_seconds(0), zt_erase_seconds(1),
				    zt_erase_seconds(0xFF), zt_erase_seconds(0x1FF)}),
		  std::vector<u64>({242 * 60, 4 * 60, 512 * 60, 512 * 60}));
}

using Bytes = std::vector<std::uint8_t>;

// bytes of hex digits, spaces between them left out
Bytes bytes(std::string hex)
{
	hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
	Bytes b;
	for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
		b.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
	return b;
}

TEST(PassThrough, Cdb)
{
	struct {
		unsigned char command, features, device;
		std::uint16_t count;
		u64 lba;
		bool data;
		const char *cdb; // "": none, the registers do not reach the lba
	} const rows[] = {
		{ZT_CMD_WRITE_DMA_EXT, 0, 0x40, 0x400, 0x123456789A, true,
		 "850d0600 00040034 9a127800 56403500"},
		{ZT_CMD_WRITE_FPDMA_QUEUED, 0, 0x40, 0x400, 0x123456789A, true,
		 "85190504 00000034 9a127800 56406100"},
		{ZT_CMD_READ_DMA, 0, 0x40, 16, 0xABCDEF1, true,
		 "850c0e00 00001000 f100de00 bc4ac800"},
		{ZT_CMD_SMART, 0xD0, 0, 1, 0xC24F00, true, "85080e00 d0000100 00004f00 c200b000"},
		{ZT_CMD_SECURITY_SET_PASSWORD, 0, 0, 1, 0, true,
		 "850a0600 00000100 00000000 0000f100"},
		{ZT_CMD_SECURITY_ERASE_PREPARE, 0, 0, 0, 0, false,
		 "85062000 00000000 00000000 0000f300"},
		{ZT_CMD_FLUSH_CACHE_EXT, 0, 0, 0, 0, false, "85072000 00000000 00000000 0000ea00"},
		{ZT_CMD_READ_DMA, 0, 0x40, 1, L28, true, ""},
		{ZT_CMD_READ_DMA_EXT, 0, 0x40, 1, L48, true, ""},
	};
	for (const auto &r : rows) {
		const zt_tf tf{r.command, r.features, r.device, r.count, r.lba, 0, 0};
		Bytes cdb(16, 0xEE);
		if (!zt_cdb(&tf, r.data, cdb.data()))
			cdb.clear();
		EXPECT_EQ(cdb, bytes(r.cdb)) << std::hex << int{r.command};
	}
}

TEST(PassThrough, Sense)
{
	struct {
		unsigned char command;
		u64 lba_sent;
		const char *sense, *regs; // the key; status, error, count, lba where it has them
	} const rows[] = {
		// descriptor format, the ATA status return descriptor: 48 bits
		{ZT_CMD_READ_DMA_EXT, 0, "720b0000 0000000e 090c0140 00101278 9a56bc34 4051",
		 "b 51 40 10 bc9a12345678"},
		// 28 bits: bits 24-27 in the device register; another descriptor first; cut short
		{ZT_CMD_READ_DMA, 0, "7201001d 0000000e 090c0000 0001fff1 ffdeffbc 4a50",
		 "1 50 0 1 abcdef1"},
		{ZT_CMD_IDENTIFY, 0,
		 "7201001d 0000001a 000a8000 01020304 05060708 090c0000 00010002 00000000 4050",
		 "1 50 0 1 2"},
		{ZT_CMD_IDENTIFY, 0, "7201001d 0000000e 090c0000 00010002 00000000 40", "1"},
		// fixed format, ATA pass-through information available (48 bits: the LBA's
		// high bits as sent); a failed command's registers in bytes 8-11 (Linux 6.1)
		{ZT_CMD_READ_DMA, 0, "70000100 504a100a 00563412 001d0000 0000",
		 "1 50 0 10 a123456"},
		{ZT_CMD_READ_DMA_EXT, 0xAB00FFFFFF, "70000100 5040100a 00563412 001d0000 0000",
		 "1 50 0 10 ab00123456"},
		{ZT_CMD_READ_DMA, 0x3E0, "f0000b00 0000000a 40514010 00000000 0000",
		 "b 51 40 10 3e0"},
		// a sense of something else; none at all
		{ZT_CMD_IDENTIFY, 0, "70000500 0000000a 00000000 24000000 0000", "5"},
		{ZT_CMD_IDENTIFY, 0, "", "0"},
	};
	for (const auto &r : rows) {
		const Bytes sense = bytes(r.sense);
		zt_tf tf{r.command, 0, 0, 0, r.lba_sent, 0, 0};
		std::uint8_t key = 0xEE;
		const bool regs = zt_sense(sense.data(), sense.size(), &tf, &key);
		std::ostringstream got;
		got << std::hex << int{key};
		if (regs)
			got << " " << int{tf.status} << " " << int{tf.error} << " " << tf.count
			    << " " << tf.lba;
		EXPECT_EQ(got.str(), r.regs) << r.sense;
	}
}

TEST(Overwrite, NeedAndCount)
{
	for (const u64 total :
	     {u64{0}, u64{1}, u64{7}, u64{100}, u64{1000}, MAX / 100, MAX / 100 + 1, MAX - 1, MAX})
		for (const std::uint32_t c : {0U, 1U, 40U, 50U, 99U}) {
			const zt_ow_run run{total, c, 2048, 1000};
			const u64 need = zt_ow_need(&run), done = total - need;
			// the start count's share counts as done: done = total * c / 100
			ASSERT_TRUE(need <= total && times(done, 100) <= times(total, c) &&
				    !(times(done, 100) + wide(100) <= times(total, c)))
				<< total << " " << c;
			EXPECT_EQ(zt_ow_count(&run, 0), need == 0 ? 100 : c);
			EXPECT_EQ(zt_ow_count(&run, need), 100U);
			EXPECT_EQ(zt_ow_count(&run, MAX), 100U);
			std::uint32_t last = c;
			for (const u64 w : {need / 3, need / 2, need - 1}) {
				if (w >= need)
					continue;
				const std::uint32_t n = zt_ow_count(&run, w);
				EXPECT_GE(n, last) << total << " " << c << " " << w;
				EXPECT_LE(n, 99U) << total << " " << c << " " << w;
				if (need <= MAX / 100) { // exact where it fits
					EXPECT_EQ(n, c + w * (100 - c) / need);
				}
				last = n;
			}
		}
	const zt_ow_run one{100, 99, 0, 1};
	EXPECT_EQ(std::vector<u64>({zt_ow_need(&one), zt_ow_count(&one, 0), zt_ow_count(&one, 1)}),
		  std::vector<u64>({1, 99, 100}));
}

// F: fixdata, R: the pseudo-random sequence, sector by sector of the total
TEST(Overwrite, Passes)
{
	struct {
		u64 total, partsect;
		const char *patterns;
	} const rows[] = {
		{5, 1, "FRFRF"}, {4, 1, "RFRF"}, {7, 3, "FFFRRRF"}, {6, 3, "RRRFFF"}, {3, 3, "FFF"},
	};
	for (const auto &r : rows) {
		const zt_ow_run run{r.total, 0, 0, r.partsect};
		std::string got;
		for (u64 k = 0; k < r.total; k++)
			got += zt_ow_random(&run, k) ? 'R' : 'F';
		EXPECT_EQ(got, r.patterns);
	}
	// 2^24 passes of 2^40 sectors, the last cut short: no sum wraps
	const zt_ow_run huge{MAX, 0, 0, 1ULL << 40U};
	EXPECT_FALSE(zt_ow_random(&huge, MAX - 1));
	EXPECT_TRUE(zt_ow_random(&huge, MAX - (1ULL << 40U) - 1));
	EXPECT_FALSE(zt_ow_random(&huge, MAX - (2ULL << 40U) - 1));
}

// the writes of a run: lba, sectors, pattern
std::string writes(const zt_ow_run &run, u64 due, std::uint32_t most)
{
	std::string s;
	zt_ow_write w{};
	for (u64 done = 0; zt_ow_next(&run, done, due, most, &w) && s.size() < 200;
	     done += w.sectors)
		s += std::to_string(w.lba) + "+" + std::to_string(w.sectors) +
		     (w.random ? "R " : "F ");
	return s;
}

TEST(Overwrite, Writes)
{
	EXPECT_EQ(writes({7, 0, 2048, 3}, MAX, 2), "2048+2F 2050+1F 2048+2R 2050+1R 2048+1F ");
	EXPECT_EQ(writes({7, 0, 2048, 3}, 3, 2), "2048+2F 2050+1F ");
	EXPECT_EQ(writes({7, 50, 2048, 3}, MAX, 2), "2048+2R 2050+1R 2048+1F ");
	EXPECT_EQ(writes({7, 0, 2048, 3}, MAX, 0), writes({7, 0, 2048, 3}, MAX, 1));
	EXPECT_EQ(writes({200000, 0, 0, 100000}, MAX, 1U << 20U),
		  "0+65536R 65536+34464R 0+65536F 65536+34464F ");
	EXPECT_EQ(writes({0, 0, 2048, 1000}, MAX, 8), "");
	EXPECT_EQ(writes({10, 0, 2048, 0}, MAX, 8), "");
	EXPECT_EQ(writes({2, 0, MAX, 1}, MAX, 8),
		  std::to_string(MAX) + "+1R " + std::to_string(MAX) + "+1F ");
}

TEST(Overwrite, Fill)
{
	std::uint8_t s[ZT_SECTOR];
	zt_fill(false, 0xABCD, 77, s);
	for (std::size_t i = 0; i < ZT_SECTOR; i += 2)
		ASSERT_EQ(s[i] << 8U | s[i + 1], 0xABCD) << i;
	struct {
		std::uint32_t seed;
		u64 lba;
		const char *head;
	} const rows[] = {{0x12345678, 0, "87985aa5 155b24a3"},
			  {0x12345678, 1000, "1cb7389e 8f342ccc"},
			  {0, 5, "dbd53ede fdd6dbf9"}};
	for (const auto &r : rows) {
		zt_fill(true, r.seed, r.lba, s);
		EXPECT_EQ(Bytes(s, s + 8), bytes(r.head));
		EXPECT_EQ(zt_fill_seed(r.lba, s), r.seed);
	}
}

TEST(Requests, Table)
{
	std::vector<std::uint32_t> writing;
	for (const zt_request *r = zt_requests; r->name != nullptr; r++) {
		EXPECT_EQ(zt_request_find(r->code), r); // (one row a code)
		if ((r->touches & ZT_WRITES) != 0)
			writing.push_back(r->code);
	}
	EXPECT_EQ(writing,
		  std::vector<std::uint32_t>({ZTOSTRA_ISUEE_OWFUNC, ZTOSTRA_SSD_SECURITY_ERASE,
					      ZTOSTRA_TEST_UNCWRITE}));
	EXPECT_EQ(zt_request_find(0x0A13), nullptr);
	const std::uint32_t sizes[][2] = {
		{ZTOSTRA_TEST_UNCWRITE, 524}, {ZTOSTRA_TEST_READ_DMA, 524}, {ZTOSTRA_OW_OP, 40},
		{ZTOSTRA_SET_AES, 104},       {ZTOSTRA_GET_PART, 12},       {ZTOSTRA_SET_TOTAL, 8},
		{ZTOSTRA_GET_IDENTDATA, 512}, {HDIO_DRIVE_CMD, 4}};
	for (const auto &s : sizes)
		EXPECT_EQ(zt_request_find(s[0])->size, s[1]) << zt_request_find(s[0])->name;
}

} // namespace
