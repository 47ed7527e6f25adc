// "환경설정": provider keys and models, tool keys, written to the settings file on OK.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;

namespace kestrill {

class TConfig;

class TfrmSetting : public QDialog {
  Q_OBJECT
 public:
  TfrmSetting(TConfig& AConfig, QWidget* AOwner);

  void ReadConfig();
  void WriteConfig();

 private:
  TConfig& FConfig;
  QLineEdit *edGeminiKey, *edChatGPTKey, *edClaudeKey, *edDeepseekKey, *edOllamaURL;
  QComboBox *cbxGeminiModel, *cbxChatGPTModel, *cbxClaudeModel, *cbxDeepseekModel, *cbxOllamaModel;
  QLineEdit *edWebSearchKey, *edDartKey, *edKRXKey;
  QCheckBox* chkDaishin;
  QCheckBox* chkStream;
  QCheckBox* chkFigureMarks;
};

}  // namespace kestrill
