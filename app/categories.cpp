// Categories as the tree shows them: renaming one, adding one as a step of the history, and
// which of them are open, kept across restarts and locks.
#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/windowsettings.h"
#include "store/storestate.h"
#include "vault/categorycommands.h"
#include "vault/filtermodel.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"

#include <QAction>
#include <QInputDialog>
#include <QMessageBox>
#include <QStatusBar>
#include <QUndoStack>

void MainWindow::createCategoryActions()
{
    // F2 on the tree, the tree's context menu and the Edit menu.
    renameCategoryAction = new QAction(tr("Re&name Category..."), this);
    renameCategoryAction->setObjectName(QStringLiteral("actionRenameCategory"));
    renameCategoryAction->setShortcut(QKeySequence(Qt::Key_F2));
    renameCategoryAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(renameCategoryAction, &QAction::triggered, this, &MainWindow::renameSelectedCategory);
    auto* addCategoryAction = new QAction(tr("&Add Category..."), this);
    addCategoryAction->setObjectName(QStringLiteral("actionAddCategory"));
    connect(addCategoryAction, &QAction::triggered, this, &MainWindow::on_btnAddCategory_clicked);
    form->treeView->addAction(addCategoryAction);
    form->treeView->addAction(renameCategoryAction);
    form->treeView->setContextMenuPolicy(Qt::ActionsContextMenu);
    form->menu_Edit->addSeparator();
    form->menu_Edit->addAction(renameCategoryAction);

    openCategoryDigests = WindowSettings().openCategories();
    connect(form->treeView, &QTreeView::expanded, this,
            [this](const QModelIndex& row) { rememberOpenCategory(row, true); });
    connect(form->treeView, &QTreeView::collapsed, this,
            [this](const QModelIndex& row) { rememberOpenCategory(row, false); });
}

QString MainWindow::selectedCategory() const
{
    const QModelIndex selected = filterModel->mapToSource(form->treeView->currentIndex());
    const QModelIndex categoryRow = selected.parent().isValid() ? selected.parent() : selected;
    const QString name = categoryRow.siblingAtColumn(TreeItem::TitleColumn).data(Qt::EditRole).toString();
    return state.vault.categoryNames().contains(name) ? name : QString();
}

void MainWindow::renameSelectedCategory()
{
    const QString from = selectedCategory();
    if (from.isEmpty()) {
        statusBar()->showMessage(tr("Select the category to rename."), kStatusMessageMs);
        return;
    }
    if (from == Vault::generalCategory()) {
        QMessageBox::information(
            this, tr("Rename Category"),
            tr("The category \"%1\" cannot be renamed: Vaultry keeps it for new entries.").arg(from));
        return;
    }
    QString to = from;
    for (;;) {
        bool confirmed = false;
        to = QInputDialog::getText(this, tr("Rename Category"), tr("New name for the category \"%1\":").arg(from),
                                   QLineEdit::Normal, to, &confirmed)
                 .trimmed();
        if (!confirmed || to.isEmpty() || to == from)
            return;
        if (!state.vault.categoryNames().contains(to))
            break;
        QMessageBox::warning(this, tr("Rename Category"),
                             tr("There is already a category named \"%1\". Please choose another name.").arg(to));
    }

    const bool wasOpen = openCategoryDigests.contains(WindowSettings::categoryDigest(from));
    const bool edited = panelEdited();
    const bool typedFrom = edited && form->comboBoxCategory->currentText() == from;
    undoStack->push(new RenameCategoryCommand(state.vault, from, to));
    // The open entry moved with its category; what is typed in the panel stays.
    if (currentEntry->category == from)
        currentEntry->category = to;
    if (shownRecord.category == from)
        shownRecord.category = to;
    if (!edited && currentEntry->id != QLatin1String("0")) {
        form->comboBoxCategory->clear();
        form->comboBoxCategory->addItems(state.vault.categoryNames());
        fillPanel();
    }
    selectCurrentEntry();
    refreshView();
    if (typedFrom)
        form->comboBoxCategory->setCurrentText(to);
    const QModelIndex renamed = filterModel->mapFromSource(treeModel->findCategory(to));
    if (wasOpen)
        form->treeView->expand(renamed);
    if (currentEntry->id == QLatin1String("0"))
        form->treeView->setCurrentIndex(renamed);
}

void MainWindow::rememberOpenCategory(const QModelIndex& row, bool open)
{
    if (restoringCategories || row.parent().isValid())
        return;
    const QString digest =
        WindowSettings::categoryDigest(row.siblingAtColumn(TreeItem::TitleColumn).data(Qt::EditRole).toString());
    if (openCategoryDigests.contains(digest) == open)
        return;
    if (open)
        openCategoryDigests.append(digest);
    else
        openCategoryDigests.removeAll(digest);
    WindowSettings().setOpenCategories(openCategoryDigests);
}

void MainWindow::rememberAllCategories(bool open)
{
    // Expand All and Collapse All tell the view nothing row by row.
    for (int row = 0, rows = filterModel->rowCount(); row < rows; ++row)
        rememberOpenCategory(filterModel->index(row, 0), open);
}

void MainWindow::restoreOpenCategories()
{
    // Locked, the tree shows nothing.
    if (form->treeView->model() != filterModel)
        return;
    restoringCategories = true;
    for (int row = 0, rows = filterModel->rowCount(); row < rows; ++row) {
        const QModelIndex category = filterModel->index(row, 0);
        const QString name = category.data(Qt::EditRole).toString();
        if (!form->treeView->isExpanded(category) && openCategoryDigests.contains(WindowSettings::categoryDigest(name)))
            form->treeView->expand(category);
    }
    restoringCategories = false;
}
