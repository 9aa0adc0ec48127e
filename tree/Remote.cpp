#include "tree/Remote.h"

#include "protocol/Commands.h"

namespace zelvo {
namespace {

class TServerRemote final : public TRemote {
public:
  explicit TServerRemote(const TMountConfig& aConfig)
      : FServer(aConfig.FServer), FPort(aConfig.FPort), FTimeOut(aConfig.FTimeOut),
        FConfirms(aConfig.FConfirms), FRanges(aConfig.FRanges),
        FGroup(std::make_shared<TExchangeGroup>()) {}

  bool List(const std::u16string& aFolder, TStream& aRecords) override {
    return Client().ReceiveListing(ListRequest(aFolder), aRecords);
  }
  TGetResult Get(const std::u16string& aFile, int64_t aListedSize, TStream& aContent) override {
    TYunClient FClient = Client();
    if (FClient.GetFile(aContent, aFile, aListedSize)) return TGetResult::Done;
    return FClient.InvalidReply() ? TGetResult::Disagreed : TGetResult::Failed;
  }
  bool ServesRanges() const override { return FRanges; }
  TRangeResult GetRange(const TRangeAsk& aAsk, const TRangeTarget& aTarget,
                        TRangeReply& aReply) override {
    TYunClient FClient = Client();
    return zelvo::GetRange(FClient, aAsk, aTarget, aReply);
  }
  TCommandResult Put(TStream& aContent, const std::u16string& aFile,
                     TChangeAnswer& aAnswer) override {
    TYunClient FClient = Client();
    const TCommandResult FResult = FClient.Put(aContent, aFile);
    aAnswer = {ParseConfirmation(FClient.ConfirmationLine()), FClient.RefusalText()};
    return FResult;
  }
  TCommandResult Command(const std::u16string& aCommand, TChangeAnswer& aAnswer) override {
    TYunClient FClient = Client();
    const TCommandResult FResult = FClient.Command(aCommand);
    aAnswer = {std::nullopt, FClient.RefusalText()};
    return FResult;
  }
  bool AskVersion(const std::u16string& aFile, std::optional<TServerVersion>& aVersion) override {
    TYunClient FClient = Client();
    return AskServerVersion(FClient, aFile, FConfirms, aVersion);
  }

  void CancelAll() override { FGroup->Cancel(); }

private:
  TYunClient Client() const { return TYunClient(FServer, FPort, FTimeOut, FConfirms, FGroup); }

  const std::u16string FServer;
  const int32_t FPort;
  const int32_t FTimeOut;
  const bool FConfirms;
  const bool FRanges;
  const std::shared_ptr<TExchangeGroup> FGroup;
};

} // namespace

std::shared_ptr<TRemote> ServerRemote(const TMountConfig& aConfig) {
  return std::make_shared<TServerRemote>(aConfig);
}

} // namespace zelvo
