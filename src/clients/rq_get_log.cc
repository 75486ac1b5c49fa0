#include "clients/rq_get_log.h"

#include <algorithm>
#include <string>

#include "adt/compression_stream.h"
#include "adt/exception.h"
#include "adt/tagged_format.h"
#include "adt/tagged_writer.h"
#include "clients/client.h"
#include "clients/client_exception.h"
#include "clients/client_host.h"
#include "clients/log_access.h"

namespace clients {

RqGetLog::RqGetLog(Client& client, adt::NioTag&) : Request(client) {}

bool RqGetLog::onMessage(adt::NioTag& element) {
  if (element.tag() == kTagName) {
    name_ = element.readString();
    if (name_.size() >= 2 && (name_[0] == '\\' || name_[0] == '/' || name_[1] == ':')) {
      throw adt::Exception("Абсолютные пути запрещены");
    }
    return false;
  }
  if (element.tag() != kTagWanted) adt::tagged::throwInvalidTag(kTagWanted, element.tag());
  const uint32_t wanted = static_cast<uint32_t>(element.readInt());
  // Only the log directories are served: the home also holds the settings and the password
  // store, whose hashes are as good as the passwords.
  ClientHost& host = client().host();
  const std::string path = resolveLogFile(adt::longPath(host.homeDirectory()), name_,
                                          allowedLogDirectories(host));
  file_ =
      std::make_unique<adt::File>(path, adt::kFileRead | adt::kShareReadWrite | adt::kOpenExisting);
  const uint64_t size = file_->size();
  left_ = std::min<uint64_t>(size, wanted);
  file_->seek(size - left_);
  started_ = true;
  return sendChunks();
}

bool RqGetLog::sendChunks() {
  std::string chunk;
  while (left_ > 0 && client().queuedOutput() < kMaxQueued) {
    chunk.resize(static_cast<size_t>(std::min<uint64_t>(left_, kChunk)));
    size_t got = 0;
    while (got < chunk.size()) {
      const size_t n = file_->read(chunk.data() + got, chunk.size() - got);
      if (n == 0) break;
      got += n;
    }
    // The file shrank meanwhile (cut at its cap): what was there is sent.
    if (got == 0) {
      left_ = 0;
      break;
    }
    chunk.resize(got);
    adt::MemoryOutputStream packed;
    {
      adt::CompressionStream deflate(packed);
      deflate.write(chunk.data(), chunk.size());
      deflate.flush();
    }
    adt::MemoryTaggedWriter out;
    out.writeInt(kTagChunkLength, static_cast<int32_t>(got));
    out.writeTag(kTagChunk, packed.bytes().data(), packed.bytes().size());
    client().send(out);
    left_ -= got;
  }
  return left_ == 0;
}

bool RqGetLog::poll() { return started_ && sendChunks(); }

bool RqGetLog::holdsConnection(uint64_t) { return started_ && left_ > 0; }

void RqGetLog::describe(adt::String& out) const { out += "RqGetLog(" + name_ + ")"; }

}  // namespace clients
