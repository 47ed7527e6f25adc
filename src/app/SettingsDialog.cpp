#include "app/SettingsDialog.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QToolButton>

#include "app/AppLocale.h"
#include "core/Config.h"

namespace kestrill {
namespace {

QString U(const char* AText) { return QString::fromUtf8(AText); }

QLineEdit* Edit(QWidget* AParent, const char* AName, int AX, int AY, int AWidth = 313) {
  auto* E = new QLineEdit(AParent);
  E->setObjectName(AName);
  E->setGeometry(AX, AY, AWidth, 22);
  return E;
}

// The usual models to pick from; a name typed in (a newer model, one pulled into Ollama) is kept
// as typed.
QComboBox* List(QWidget* AParent, const char* AName, std::initializer_list<const char*> AItems) {
  auto* C = new QComboBox(AParent);
  C->setObjectName(AName);
  C->setEditable(true);
  C->setInsertPolicy(QComboBox::NoInsert);
  for (const char* I : AItems) C->addItem(U(I));
  C->setGeometry(72, 70, 313, 22);
  C->setToolTip(U("목록에서 고르거나 모델 이름을 직접 입력하세요"));
  return C;
}

// Where a key comes from, in a muted line under its box.
QLabel* Hint(QWidget* AParent, const char* AText, int AX, int AY) {
  auto* L = new QLabel(U(AText), AParent);
  L->setObjectName("lbHint");
  L->setStyleSheet("color: #8E8E93; font-size: 11px;");
  L->setGeometry(AX + 2, AY + 24, 320, 16);
  return L;
}

QLabel* Label(QWidget* AParent, const char* AText, int AX, int AY) {
  auto* L = new QLabel(U(AText), AParent);
  L->move(AX, AY + 3);
  return L;
}

// An eye, drawn here so the button looks the same on every desktop theme.
QIcon EyeIcon() {
  QPixmap Pix(32, 32);
  Pix.fill(Qt::transparent);
  QPainter P(&Pix);
  P.setRenderHint(QPainter::Antialiasing);
  P.setPen(QPen(QColor(0x6E, 0x6E, 0x73), 2.5));
  QPainterPath Lid;
  Lid.moveTo(3, 16);
  Lid.quadTo(16, 3, 29, 16);
  Lid.quadTo(16, 29, 3, 16);
  P.drawPath(Lid);
  P.setBrush(QColor(0x6E, 0x6E, 0x73));
  P.drawEllipse(QPointF(16, 16), 4.5, 4.5);
  return QIcon(Pix);
}

// A key is shown as dots; the eye at its right end shows it only while it is held down, so a
// key is never left readable on screen.
void MaskKey(QLineEdit* AEdit) {
  AEdit->setEchoMode(QLineEdit::Password);
  QAction* Show = AEdit->addAction(EyeIcon(), QLineEdit::TrailingPosition);
  Show->setObjectName(AEdit->objectName() + "Show");
  Show->setToolTip(QString::fromUtf8("누르고 있는 동안 키 보기"));
  for (QObject* O : Show->associatedObjects()) {
    auto* Button = qobject_cast<QToolButton*>(O);
    if (!Button) continue;
    Button->setObjectName(Show->objectName());
    QObject::connect(Button, &QToolButton::pressed, AEdit,
                     [AEdit] { AEdit->setEchoMode(QLineEdit::Normal); });
    QObject::connect(Button, &QToolButton::released, AEdit,
                     [AEdit] { AEdit->setEchoMode(QLineEdit::Password); });
  }
}

// One provider box: key (or URL) edit at y 24, where to get it under it, model list at y 70.
QGroupBox* ProviderBox(QWidget* AParent, const char* ATitle, int AX, int AY, const char* AKeyLabel,
                       QLineEdit*& AEdit, const char* AEditName, const char* AHint,
                       QComboBox*& AList, const char* AListName,
                       std::initializer_list<const char*> AItems) {
  auto* Box = new QGroupBox(U(ATitle), AParent);
  Box->setGeometry(AX, AY, 398, 102);
  Label(Box, AKeyLabel, 8, 24);
  AEdit = Edit(Box, AEditName, 72, 24);
  Hint(Box, AHint, 72, 24);
  Label(Box, "모델", 8, 70);
  AList = List(Box, AListName, AItems);
  return Box;
}

// Selects AName in AList. A stored name that is not an entry is added and selected, so that
// confirming the dialog keeps it instead of erasing it.
void SelectModel(QComboBox* AList, const std::string& AName) {
  const QString Name = QString::fromStdString(AName);
  int Index = AList->findText(Name, Qt::MatchExactly);
  if (Index < 0 && !Name.isEmpty()) {
    AList->addItem(Name);
    Index = AList->count() - 1;
  }
  AList->setCurrentIndex(Index);
}

}  // namespace

TfrmSetting::TfrmSetting(TConfig& AConfig, QWidget* AOwner) : QDialog(AOwner), FConfig(AConfig) {
  setObjectName("frmSetting");
  setWindowTitle(U("환경설정"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(825, 485);

  ProviderBox(this, "Gemini", 8, 8, "API Key", edGeminiKey, "edGeminiKey",
              "Google AI Studio(aistudio.google.com)에서 발급", cbxGeminiModel, "cbxGeminiModel",
              {"gemini-3.5-flash", "gemini-3.1-flash-lite", "gemini-3-flash-preview",
               "gemini-3.1-pro-preview"});
  ProviderBox(this, "ChatGPT", 414, 8, "API Key", edChatGPTKey, "edChatGPTKey",
              "platform.openai.com의 API keys에서 발급", cbxChatGPTModel, "cbxChatGPTModel",
              {"gpt-5.4-nano", "gpt-5.4-mini", "gpt-5.4", "gpt-5.5"});
  ProviderBox(this, "Claude", 8, 115, "API Key", edClaudeKey, "edClaudeKey",
              "console.anthropic.com의 API Keys에서 발급", cbxClaudeModel, "cbxClaudeModel",
              {"claude-opus-4-7", "claude-sonnet-4-6", "claude-haiku-4-5-20251001"});
  ProviderBox(this, "DeepSeek", 414, 115, "API Key", edDeepseekKey, "edDeepseekKey",
              "platform.deepseek.com의 API keys에서 발급", cbxDeepseekModel, "cbxDeepseekModel",
              {"deepseek-chat", "deepseek-reasoner"});
  ProviderBox(this, "Ollama", 8, 222, "URL", edOllamaURL, "edOllamaURL",
              "Ollama의 채팅 주소, 예: http://localhost:11434/api/chat", cbxOllamaModel,
              "cbxOllamaModel",
              {"gpt-oss:20b", "deepseek-r1:1.5b", "deepseek-r1:7b", "deepseek-r1:8b", "gemma4:31b",
               "gemma4:26b", "gemma4:e4b", "gemma4:e2b", "qwen3.6:27b", "qwen3.6:35b",
               "qwen3.6:27b-coding-nvfp4"});

  auto* Tools = new QGroupBox(U("도구 관련 키"), this);
  Tools->setGeometry(8, 329, 803, 118);
  Label(Tools, "Tavily", 8, 24)->setToolTip(U("웹 검색 도구 Tavily의 API 키"));
  edWebSearchKey = Edit(Tools, "edWebSearchKey", 72, 24);
  edWebSearchKey->setToolTip(
      U("웹 검색 도구 Tavily의 API 키: Gemini가 아닌 경우 웹 검색을 위해 필요한 도구"));
  Hint(Tools, "tavily.com에서 발급 (Gemini는 자체 검색을 씀)", 72, 24);
  Label(Tools, "KRX", 8, 70);
  edKRXKey = Edit(Tools, "edKRXKey", 72, 70);
  edKRXKey->setToolTip(U("한국거래소(KRX) Open API를 이용한 정보 조회"));
  Hint(Tools, "KRX 정보데이터시스템 OPEN API에서 신청", 72, 70);
  QLabel* DartLabel = Label(Tools, "DART", 416, 24);
  DartLabel->setToolTip(U("금융감독원 전자공시시스템(DART)를 이용한 공시/재무정보 조회"));
  edDartKey = Edit(Tools, "edDartKey", 478, 24);
  edDartKey->setToolTip(
      U("금융감독원 전자공시시스템(DART) 공시정보 또는 분기/반기 사업보고서 검색 도구"));
  Hint(Tools, "opendart.fss.or.kr 인증키 신청에서 발급", 478, 24);
  chkDaishin = new QCheckBox(U("대신증권 API 사용"), Tools);
  chkDaishin->setObjectName("chkDaishin");
  chkDaishin->move(478, 73);
#ifndef Q_OS_WIN
  // The broker's CYBOS Plus runs only on Windows; the stored choice stays as it was.
  chkDaishin->setEnabled(false);
  chkDaishin->setToolTip(
      U("대신증권 CYBOS Plus는 Windows에서만 실행되므로 이 컴퓨터에서는 사용할 수 없습니다."));
#endif
  // Off by default: requests and replies are then exactly as they always were.
  chkStream = new QCheckBox(U("답변을 실시간으로 표시"), this);
  chkStream->setObjectName("chkStream");
  chkStream->move(16, 458);
  // On by default: the figures of agent answers show whether the tool results back them.
  chkFigureMarks = new QCheckBox(U("수치 확인 표시"), this);
  chkFigureMarks->setObjectName("chkFigureMarks");
  chkFigureMarks->move(220, 458);

  auto* Ok = new QPushButton(U("확인"), this);
  Ok->setObjectName("btnOK");
  Ok->setGeometry(647, 456, 80, 24);
  Ok->setDefault(true);
  auto* Cancel = new QPushButton(U("취소"), this);
  Cancel->setObjectName("btnCancel");
  Cancel->setGeometry(647 + 84, 456, 80, 24);
  connect(Ok, &QPushButton::clicked, this, [this] {
    try {
      WriteConfig();
      accept();
    } catch (const EIniFileException& E) {
      // Keep the dialog open so nothing typed is lost.
      QMessageBox Box(QMessageBox::Warning, U("환경설정"),
                      U("설정을 저장할 수 없습니다.\n") + QString::fromStdString(E.what()),
                      QMessageBox::Ok, this);
      UseKoreanButtons(Box);
      Box.exec();
    }
  });
  connect(Cancel, &QPushButton::clicked, this, &QDialog::reject);
  for (QLineEdit* Key :
       {edGeminiKey, edChatGPTKey, edClaudeKey, edDeepseekKey, edWebSearchKey, edDartKey, edKRXKey})
    MaskKey(Key);
  ReadConfig();
}

// What a send uses while no model is stored, so the dialog shows a model that answers. OpenAI's
// two modes differ (chatbot gpt-5-nano, agent gpt-5.4-mini): the dialog shows the chatbot's.
namespace {
constexpr const char* kDefaultGeminiModel = "gemini-3.1-pro-preview";
constexpr const char* kDefaultOpenAIModel = "gpt-5-nano";
constexpr const char* kDefaultClaudeModel = "claude-sonnet-4-6";
constexpr const char* kDefaultDeepseekModel = "deepseek-chat";
constexpr const char* kDefaultOllamaModel = "gemma4:26b";
}  // namespace

void TfrmSetting::ReadConfig() {
  edGeminiKey->setText(QString::fromStdString(FConfig.Read(keys::GeminiKey, "")));
  SelectModel(cbxGeminiModel, FConfig.Read(keys::GeminiModel, kDefaultGeminiModel));
  edChatGPTKey->setText(QString::fromStdString(FConfig.Read(keys::OpenAIKey, "")));
  SelectModel(cbxChatGPTModel, FConfig.Read(keys::OpenAIModel, kDefaultOpenAIModel));
  edClaudeKey->setText(QString::fromStdString(FConfig.Read(keys::ClaudeKey, "")));
  SelectModel(cbxClaudeModel, FConfig.Read(keys::ClaudeModel, kDefaultClaudeModel));
  edDeepseekKey->setText(QString::fromStdString(FConfig.Read(keys::DeepseekKey, "")));
  SelectModel(cbxDeepseekModel, FConfig.Read(keys::DeepseekModel, kDefaultDeepseekModel));
  edOllamaURL->setText(QString::fromStdString(FConfig.Read(keys::OllamaURL, "")));
  SelectModel(cbxOllamaModel, FConfig.Read(keys::OllamaModel, kDefaultOllamaModel));
  edWebSearchKey->setText(QString::fromStdString(FConfig.Read(keys::WebSearchKey, "")));
  edDartKey->setText(QString::fromStdString(FConfig.Read(keys::DARTKey, "")));
  edKRXKey->setText(QString::fromStdString(FConfig.Read(keys::KRXKey, "")));
  chkDaishin->setChecked(FConfig.Read(keys::UseDaishin, false));
  chkStream->setChecked(FConfig.Read(keys::Stream, false));
  chkFigureMarks->setChecked(FConfig.Read(keys::FigureMarks, true));
}

void TfrmSetting::WriteConfig() {
  auto Text = [](const QLineEdit* E) { return E->text().toStdString(); };
  // The name as it stands in the box, picked or typed.
  auto Model = [](const QComboBox* C) { return C->currentText().trimmed().toStdString(); };
  FConfig.Write(keys::GeminiKey, Text(edGeminiKey));
  FConfig.Write(keys::GeminiModel, Model(cbxGeminiModel));
  FConfig.Write(keys::OpenAIKey, Text(edChatGPTKey));
  FConfig.Write(keys::OpenAIModel, Model(cbxChatGPTModel));
  FConfig.Write(keys::ClaudeKey, Text(edClaudeKey));
  FConfig.Write(keys::ClaudeModel, Model(cbxClaudeModel));
  FConfig.Write(keys::DeepseekKey, Text(edDeepseekKey));
  FConfig.Write(keys::DeepseekModel, Model(cbxDeepseekModel));
  FConfig.Write(keys::OllamaURL, Text(edOllamaURL));
  FConfig.Write(keys::OllamaModel, Model(cbxOllamaModel));
  FConfig.Write(keys::WebSearchKey, Text(edWebSearchKey));
  FConfig.Write(keys::DARTKey, Text(edDartKey));
  FConfig.Write(keys::KRXKey, Text(edKRXKey));
  FConfig.Write(keys::UseDaishin, chkDaishin->isChecked());
  FConfig.Write(keys::Stream, chkStream->isChecked());
  FConfig.Write(keys::FigureMarks, chkFigureMarks->isChecked());
}

}  // namespace kestrill
