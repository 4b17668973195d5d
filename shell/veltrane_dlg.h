// The main dialog: two path fields, the direction, the progress bar and the three commands.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QString>
#include <functional>

class QCloseEvent;
class QDropEvent;
class QProgressBar;

namespace veltrane {
class DialogServices;
}

class CVeltraneDlg : public QDialog {
    Q_OBJECT

public:
    explicit CVeltraneDlg(veltrane::DialogServices& services, QWidget* parent = nullptr);
    ~CVeltraneDlg() override;

    // The control with a template id (IDC_...), as the classic GetDlgItem.
    QWidget* GetDlgItem(int id) const;

    // Moves text between the two path fields and m_sourcePath/m_destPath: fields into members when
    // `saveAndValidate`, members into fields otherwise.
    void UpdateData(bool saveAndValidate);

    // Take `path` as the source or the destination exactly as if it had been chosen with that field's
    // browse button; the program's argument and dropped files come in here.
    void OpenSource(const QString& path);
    void OpenDest(const QString& path);

    void OnBrowseSource();
    void OnBrowseDest();
    void OnRun();
    void OnSysCommand(int id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class RunProgress;

    void OnInitDialog();
    void DoDataExchange(bool saveAndValidate);
    bool IsChecked(int radioId) const;
    void SetCheck(int radioId, bool checked);
    void TakeSource(const QString& path);
    void TakeDest(const QString& path);
    bool FilterDrop(QObject* watched, QDropEvent* event);
    void RunAway(const std::function<void()>& work);
    void CloseIfAsked();

    veltrane::DialogServices& m_services;
    QProgressBar* m_progress = nullptr;
    QString m_sourcePath;
    QString m_destPath;
    QIcon m_hIcon;
    bool m_busy = false;       // a probe or a run is under way on its own thread
    bool m_closeAsked = false; // the window was asked to close meanwhile
};
