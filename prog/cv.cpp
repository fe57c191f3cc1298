// Selecting a module and reading and writing its CVs.
#include <cstdio>

#include "prog.h"
#include "util.h"

namespace {

/// The request buffer of one operation; running out of memory is fatal.
ln_msg_t *request_buf(lif_t *lif) {
  ln_msg_t *m = ln_msg_alloc(lif);
  if (m == nullptr) ln_fatal("Can't alloc msg\n");
  return m;
}

/// Sends req with the retried exchange; 1 when qual accepted a reply. req is
/// also the qualifier's argument, so a read's value lands in req->cv_val.
int exchange(lif_t *lif, ln_prog_t *req, ln_qual_t qual) {
  ln_msg_t *tx = request_buf(lif);
  prog_encode(tx, req, OPC_IMM_PACKET);
  ln_msg_t *rx = ln_msg_tx_retry_resp(lif, tx, PROG_RETRIES, PROG_TIMEOUT, qual, req);
  ln_msg_free(lif, tx);
  if (rx == nullptr) return 0;
  ln_msg_free(lif, rx);
  return 1;
}

}  // namespace

int select_target_qual(const ln_msg_t *rx, void *arg) {
  const auto *req = static_cast<const ln_prog_t *>(arg);
  ln_prog_t r;
  return prog_decode(&r, rx) && r.cmd == PROG_CMD_REPLY && r.cv_addr == req->cv_addr &&
         r.cv_val == req->cv_val && r.art_no == req->art_no;
}

int cv_read_qual(const ln_msg_t *rx, void *arg) {
  auto *req = static_cast<ln_prog_t *>(arg);
  ln_prog_t r;
  if (!prog_decode(&r, rx) || r.cmd != PROG_CMD_REPLY || r.cv_addr != req->cv_addr ||
      r.art_no != req->art_no)
    return 0;
  req->cv_val = r.cv_val;
  return 1;
}

int cv_write_qual(const ln_msg_t *rx, void *) {
  // The acknowledge names the opcode it answers (0xED without bit 7) and the
  // status 0x7F for success; it does not say which module sent it.
  return rx->len >= 3 && rx->msg[0] == OPC_LONG_ACK && rx->msg[1] == 0x6D && rx->msg[2] == 0x7F;
}

int select_target(lif_t *lif, u16 art_no, u16 addr, int on) {
  ln_prog_t req = {art_no, 0, addr, static_cast<u8>(on ? PROG_FLAG_ON : PROG_FLAG_OFF),
                   PROG_CMD_READ};
  if (on) return exchange(lif, &req, select_target_qual);
  // The release is fire-and-forget: modules do not answer it.
  ln_msg_t *tx = request_buf(lif);
  prog_encode(tx, &req, OPC_PEER_XFER);
  ln_msg_tx(lif, tx);
  ln_msg_free(lif, tx);
  return 1;
}

int cv_read(u16 *res, lif_t *lif, u16 art_no, u16 addr) {
  ln_prog_t req = {art_no, addr, 0, 0, PROG_CMD_READ};
  if (!exchange(lif, &req, cv_read_qual)) return 0;
  *res = req.cv_val;
  return 1;
}

int cv_write(lif_t *lif, u16 art_no, u16 addr, u16 val) {
  ln_prog_t req = {art_no, addr, val, 0, PROG_CMD_WRITE};
  return exchange(lif, &req, cv_write_qual);
}

void cv_read_print(lif_t *lif, u16 art_no, u16 addr) {
  u16 val;
  if (cv_read(&val, lif, art_no, addr))
    printf("CV[%u]: %u\n", addr, val);
  else
    printf("CV[%u]: No reply\n", addr);
}
